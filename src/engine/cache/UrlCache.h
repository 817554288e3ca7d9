#pragma once

#include "engine/cache/CacheEntry.h"
#include "engine/cache/CacheEnumeration.h"

#include <QString>
#include <memory>
#include <optional>

// A browser cache as the harvest engine uses it: walk it, look up one address, delete one address.
//
// Failures never reach the caller as errors: a walk that cannot go on just ends, a lookup that fails
// means the address is not cached, a deletion that fails is ignored. Only usable entries are offered:
// whole 2xx responses with a complete body.
//
// Implementations are safe to use from several threads at once: the scanner walks while the copy
// worker looks up and deletes, and the clean-up command deletes from the GUI thread.
class UrlCache
{
public:
    virtual ~UrlCache() = default;

    virtual std::unique_ptr<CacheEnumeration> enumerate() = 0;

    // The entry whose URL is exactly `url`. Where several entries hold it (browsers partition their
    // caches by top-level site), the most recently used one.
    virtual std::optional<CacheEntry> lookup(const QString& url) = 0;

    // Deletes every entry holding exactly `url`, with the files that hold it.
    virtual void remove(const QString& url) = 0;
};
