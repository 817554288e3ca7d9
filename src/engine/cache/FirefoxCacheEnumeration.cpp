#include "engine/cache/FirefoxCacheEnumeration.h"

#include "engine/cache/FirefoxCacheFolder.h"

FirefoxCacheEnumeration::FirefoxCacheEnumeration(std::shared_ptr<const FirefoxCacheFolder> folder,
                                                 QStringList entryFileNames)
    : folder_(std::move(folder)), entryFileNames_(std::move(entryFileNames))
{}

std::optional<CacheEntry> FirefoxCacheEnumeration::next()
{
    while (position_ < entryFileNames_.size()) {
        if (std::optional<CacheEntry> entry = folder_->readEntry(entryFileNames_[position_++]))
            return entry;
    }
    return std::nullopt;
}
