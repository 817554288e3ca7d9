#pragma once

#include "engine/cache/CacheEntry.h"

#include <optional>

// One walk over a cache, one entry at a time, in the cache's own order. Destroying it ends the walk.
class CacheEnumeration
{
public:
    // What a walk offers: the usable entries (UrlCache::enumerate) or a reference to every entry of the
    // cache, usable or not (UrlCache::enumerateAll).
    enum class Offer
    {
        Usable,
        Every,
    };

    // How far a walk has got: `done` of `total` places looked at (entry files, index records or table
    // slots, whatever the cache lists). `total` is -1 when the cache does not tell; it is an estimate
    // where the cache's own count may be stale, and then grows as the walk passes it.
    struct Progress
    {
        qint64 done = 0;
        qint64 total = -1;
    };

    virtual ~CacheEnumeration() = default;

    // The next entry; std::nullopt after the last one, or when the walk cannot go on.
    virtual std::optional<CacheEntry> next() = 0;

    virtual Progress progress() const { return {}; }
};
