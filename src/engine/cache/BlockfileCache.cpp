#include "engine/cache/BlockfileCache.h"

#include "engine/cache/BlockfileCacheEnumeration.h"
#include "engine/cache/BlockfileDataFiles.h"
#include "engine/cache/BlockfileEntryWalk.h"
#include "engine/cache/BlockfileIndex.h"
#include "engine/cache/ChromiumCacheKey.h"

BlockfileCache::BlockfileCache(const QString& folder) : folder_(folder) {}

BlockfileCache::~BlockfileCache() = default;

bool BlockfileCache::recognises(const QString& folder)
{
    return BlockfileCacheFolder::recognises(folder);
}

std::unique_ptr<CacheEnumeration> BlockfileCache::enumerate()
{
    return std::make_unique<BlockfileCacheEnumeration>(folder_);
}

std::unique_ptr<CacheEnumeration> BlockfileCache::enumerateAll()
{
    return std::make_unique<BlockfileCacheEnumeration>(folder_, CacheEnumeration::Offer::Every);
}

bool BlockfileCache::ensureUrlIndex(const std::atomic<bool>& stop)
{
    if (entriesByUrl_.isFinished())
        return true;
    std::optional<BlockfileIndex> index = folder_.readIndex();
    if (!index) {
        entriesByUrl_.finish();
        return true;
    }
    index_ = std::make_shared<const BlockfileIndex>(std::move(*index));
    // Only keys and times are read here; whether an entry is usable is decided when it is looked up.
    BlockfileDataFiles files(folder_.path(), BlockfileDataFiles::Access::Walk);
    BlockfileEntryWalk walk(*index_, files);
    while (const std::optional<BlockfileEntryWalk::Step> step = walk.next()) {
        if (stop.load(std::memory_order_relaxed)) {
            entriesByUrl_.discardAdded();
            return false;
        }
        if (!step->record.isNormal())
            continue;
        const std::optional<QByteArray> key = BlockfileCacheFolder::keyOf(files, step->record);
        const std::optional<QString> url = key ? ChromiumCacheKey::urlOf(*key) : std::nullopt;
        const std::optional<QDateTime> lastUsed =
            url ? BlockfileCacheFolder::lastUsed(files, step->address, step->record) : std::nullopt;
        if (lastUsed)
            entriesByUrl_.add(*url, step->address, *lastUsed);
    }
    entriesByUrl_.finish([](const BlockfileAddress a, const BlockfileAddress b) { return a.value() < b.value(); });
    return true;
}

std::optional<CacheEntry> BlockfileCache::lookup(const QString& url)
{
    const std::atomic<bool> never{false};
    return lookupUnlessStopped(url, never);
}

std::optional<CacheEntry> BlockfileCache::lookupUnlessStopped(const QString& url, const std::atomic<bool>& stop)
{
    QList<BlockfileAddress> candidates;
    std::shared_ptr<const BlockfileIndex> index;
    {
        const std::lock_guard lock(mutex_);
        if (!ensureUrlIndex(stop))
            return std::nullopt;
        candidates = entriesByUrl_.candidates(url);
        index = index_;
    }
    if (candidates.isEmpty())
        return std::nullopt;
    // The most recently used entry that is still whole; an older partition's copy stands in when the
    // newest has been evicted or is an error page. Records are read afresh: the browser may have reused
    // the blocks since the map was built.
    BlockfileDataFiles files(folder_.path(), BlockfileDataFiles::Access::Scattered);
    for (const BlockfileAddress address : candidates) {
        const std::optional<BlockfileEntry> record = BlockfileEntryWalk::readRecord(files, address);
        std::optional<CacheEntry> entry = record ? folder_.readEntry(files, *index, address, *record) : std::nullopt;
        if (entry && entry->url == url)
            return entry;
    }
    return std::nullopt;
}

UrlCache::RemoveOutcome BlockfileCache::removeEntry(const CacheEntry& entry)
{
    // Refused, see the class comment.
    Q_UNUSED(entry);
    return RemoveOutcome::ReadOnly;
}

void BlockfileCache::forgetFolder(const QString& folder)
{
    if (folder != folder_.path())
        return;
    const std::lock_guard lock(mutex_);
    entriesByUrl_.clear();
    index_.reset();
}

std::shared_ptr<const BlockfileIndex> BlockfileCache::tableLocked()
{
    if (!index_) {
        if (std::optional<BlockfileIndex> index = folder_.readIndex())
            index_ = std::make_shared<const BlockfileIndex>(std::move(*index));
    }
    return index_;
}

bool BlockfileCache::isCurrent(const CacheEntry& entry)
{
    const std::optional<BlockfileAddress> address = BlockfileCacheFolder::addressOf(entry.entryKey);
    if (entry.sourceFolder != folder_.path() || !address)
        return false;
    std::shared_ptr<const BlockfileIndex> index;
    {
        const std::lock_guard lock(mutex_);
        index = tableLocked();
    }
    if (!index)
        return false;
    BlockfileDataFiles files(folder_.path(), BlockfileDataFiles::Access::Scattered);
    const std::optional<BlockfileEntry> record = BlockfileEntryWalk::readRecord(files, *address);
    const std::optional<CacheEntry> now = record ? folder_.readEntry(files, *index, *address, *record) : std::nullopt;
    return now && now->url == entry.url && now->body.file == entry.body.file && now->body.offset == entry.body.offset &&
           now->body.length == entry.body.length && now->body.stamp == entry.body.stamp;
}

bool BlockfileCache::ownsFolder(const QString& folder) const
{
    return folder == folder_.path();
}
