#include "engine/cache/IndexDatCache.h"

#include "engine/cache/IndexDatCacheEnumeration.h"
#include "engine/cache/IndexDatFile.h"

IndexDatCache::IndexDatCache(const QString& folder) : folder_(folder) {}

IndexDatCache::~IndexDatCache() = default;

bool IndexDatCache::recognises(const QString& folder)
{
    return IndexDatFolder::holdsIndex(folder);
}

std::shared_ptr<const IndexDatFile> IndexDatCache::currentIndexLocked()
{
    // The version is taken before reading, so a change during the read makes the next call read again.
    const IndexDatFolder::Version version = folder_.indexVersion();
    if (!index_ || version != indexVersion_ || version.recentlyWritten) {
        index_ = folder_.readIndex();
        indexVersion_ = version;
    }
    return index_;
}

std::unique_ptr<CacheEnumeration> IndexDatCache::enumerate()
{
    const std::lock_guard lock(mutex_);
    return std::make_unique<IndexDatCacheEnumeration>(folder_, currentIndexLocked());
}

std::unique_ptr<CacheEnumeration> IndexDatCache::enumerateAll()
{
    const std::lock_guard lock(mutex_);
    return std::make_unique<IndexDatCacheEnumeration>(folder_, currentIndexLocked(), CacheEnumeration::Offer::Every);
}

std::optional<CacheEntry> IndexDatCache::lookup(const QString& url)
{
    std::shared_ptr<const IndexDatFile> index;
    {
        const std::lock_guard lock(mutex_);
        index = currentIndexLocked();
    }
    if (!index)
        return std::nullopt;
    // The platform keeps one entry per URL; should a damaged file hold more, the latest used wins.
    std::optional<CacheEntry> latest;
    for (const QByteArray& form : IndexDatFolder::storedFormsOf(url)) {
        for (const qint64 slot : index->slotsHolding(form)) {
            const std::optional<IndexDatUrlRecord> record = index->urlRecordAt(slot);
            std::optional<CacheEntry> entry = record ? folder_.entryOf(*index, *record) : std::nullopt;
            if (entry && (!latest || entry->lastAccess > latest->lastAccess))
                latest = std::move(entry);
        }
    }
    return latest;
}

UrlCache::RemoveOutcome IndexDatCache::removeEntry(const CacheEntry& entry)
{
    const std::lock_guard lock(mutex_);
    const RemoveOutcome outcome = folder_.removeEntry(entry);
    if (outcome == RemoveOutcome::Removed)
        index_.reset();
    return outcome;
}

bool IndexDatCache::isCurrent(const CacheEntry& /*entry*/)
{
    // Every body is a file of its entry alone, whose stamp EntryBody checks.
    return true;
}

bool IndexDatCache::ownsFolder(const QString& folder) const
{
    return folder == folder_.path();
}
