#pragma once

#include "engine/cache/CacheEntry.h"

#include <optional>

// One walk over a cache, one entry at a time, in the cache's own order. Destroying it ends the walk.
class CacheEnumeration
{
public:
    virtual ~CacheEnumeration() = default;

    // The next usable entry; std::nullopt after the last one, or when the walk cannot go on.
    virtual std::optional<CacheEntry> next() = 0;
};
