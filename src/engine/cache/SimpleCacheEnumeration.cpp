#include "engine/cache/SimpleCacheEnumeration.h"

SimpleCacheEnumeration::SimpleCacheEnumeration(const SimpleCacheFolder& folder)
    : folder_(folder), openFolder_(folder.path()), entryFileNames_(folder.entryFileNames()),
      lastUsedTimes_(folder.lastUsedTimes())
{}

std::optional<CacheEntry> SimpleCacheEnumeration::next()
{
    while (nextIndex_ < entryFileNames_.size()) {
        std::optional<CacheEntry> entry =
            folder_.readEntry(entryFileNames_.at(nextIndex_++), lastUsedTimes_, &openFolder_);
        if (entry)
            return entry;
    }
    return std::nullopt;
}
