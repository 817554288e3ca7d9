#include "engine/cache/SimpleCacheEnumeration.h"

SimpleCacheEnumeration::SimpleCacheEnumeration(const SimpleCacheFolder& folder, Offer offer)
    : folder_(folder), offer_(offer), openFolder_(std::make_shared<const FolderHandle>(folder.path())),
      entryFileNames_(folder.entryFileNames()),
      lastUsedTimes_(offer == Offer::Usable ? folder.lastUsedTimes() : QHash<quint64, QDateTime>())
{}

std::optional<CacheEntry> SimpleCacheEnumeration::next()
{
    while (nextIndex_ < entryFileNames_.size()) {
        const QString& fileName = entryFileNames_.at(nextIndex_++);
        std::optional<CacheEntry> entry = offer_ == Offer::Usable
                                              ? folder_.readEntry(fileName, lastUsedTimes_, openFolder_)
                                              : folder_.referenceOf(fileName);
        if (entry)
            return entry;
    }
    return std::nullopt;
}
