#include "engine/cache/FirefoxCacheEnumeration.h"

#include "engine/cache/FirefoxCacheFolder.h"

FirefoxCacheEnumeration::FirefoxCacheEnumeration(std::shared_ptr<const FirefoxCacheFolder> folder,
                                                 QStringList entryFileNames, Offer offer)
    : folder_(std::move(folder)), entryFileNames_(std::move(entryFileNames)), offer_(offer)
{}

std::optional<CacheEntry> FirefoxCacheEnumeration::next()
{
    while (position_ < entryFileNames_.size()) {
        const QString& fileName = entryFileNames_[position_++];
        std::optional<CacheEntry> entry =
            offer_ == Offer::Usable ? folder_->readEntry(fileName) : folder_->referenceOf(fileName);
        if (entry)
            return entry;
    }
    return std::nullopt;
}
