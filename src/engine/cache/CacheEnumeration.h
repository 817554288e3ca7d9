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

    virtual ~CacheEnumeration() = default;

    // The next entry; std::nullopt after the last one, or when the walk cannot go on.
    virtual std::optional<CacheEntry> next() = 0;
};
