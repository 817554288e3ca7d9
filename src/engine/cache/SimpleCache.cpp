#include "engine/cache/SimpleCache.h"

#include "engine/cache/FolderHandle.h"
#include "engine/cache/SimpleCacheEnumeration.h"

#include <functional>

SimpleCache::SimpleCache(const QString& folder, SimpleCacheFolder::Stream0 stream0) : folder_(folder, stream0) {}

std::unique_ptr<CacheEnumeration> SimpleCache::enumerate()
{
    return std::make_unique<SimpleCacheEnumeration>(folder_);
}

std::unique_ptr<CacheEnumeration> SimpleCache::enumerateAll()
{
    return std::make_unique<SimpleCacheEnumeration>(folder_, CacheEnumeration::Offer::Every);
}

bool SimpleCache::ensureUrlIndex(const std::atomic<bool>& stop)
{
    if (fileNamesByUrl_.isFinished())
        return true;
    lastUsedTimes_ = folder_.lastUsedTimes();
    openFolder_ = std::make_shared<const FolderHandle>(folder_.path());
    // Only keys are read here; whether an entry is usable is decided when it is looked up.
    for (const QString& fileName : folder_.entryFileNames()) {
        if (stop.load(std::memory_order_relaxed)) {
            fileNamesByUrl_.discardAdded();
            return false;
        }
        if (const std::optional<QString> url = folder_.urlOf(fileName, openFolder_.get()))
            fileNamesByUrl_.add(*url, fileName, folder_.lastUsed(fileName, lastUsedTimes_));
    }
    fileNamesByUrl_.finish(std::less<QString>());
    return true;
}

std::optional<CacheEntry> SimpleCache::lookup(const QString& url)
{
    const std::atomic<bool> never{false};
    return lookupUnlessStopped(url, never);
}

std::optional<CacheEntry> SimpleCache::lookupUnlessStopped(const QString& url, const std::atomic<bool>& stop)
{
    QList<QString> candidates;
    QHash<quint64, QDateTime> lastUsedTimes;
    std::shared_ptr<const FolderHandle> openFolder;
    {
        const std::lock_guard lock(mutex_);
        if (!ensureUrlIndex(stop))
            return std::nullopt;
        candidates = fileNamesByUrl_.candidates(url);
        lastUsedTimes = lastUsedTimes_;
        openFolder = openFolder_;
    }
    // The most recently used entry that is still whole; an older partition's copy stands in when the
    // newest has been evicted or is an error page.
    for (const QString& fileName : candidates) {
        std::optional<CacheEntry> entry = folder_.readEntry(fileName, lastUsedTimes, openFolder);
        if (entry && entry->url == url)
            return entry;
    }
    return std::nullopt;
}

UrlCache::RemoveOutcome SimpleCache::removeEntry(const CacheEntry& entry)
{
    const std::lock_guard lock(mutex_);
    const RemoveOutcome outcome = folder_.removeEntry(entry);
    if (outcome == RemoveOutcome::Removed)
        fileNamesByUrl_.dropCandidate(entry.url, entry.entryKey);
    return outcome;
}

std::optional<CacheEntry> SimpleCache::readEntryOf(const QString& folder, const QString& entryKey)
{
    if (folder != folder_.path() || !SimpleCacheFolder::isEntryFileName(entryKey))
        return std::nullopt;
    // An entry just written is not in the index yet, which the browser writes now and then: its file's time
    // is when it was last used.
    std::optional<CacheEntry> entry = folder_.readEntry(entryKey, {});
    if (entry) {
        const std::lock_guard lock(mutex_);
        fileNamesByUrl_.learn(entry->url, entryKey);
    }
    return entry;
}

void SimpleCache::forgetFolder(const QString& folder)
{
    if (folder != folder_.path())
        return;
    const std::lock_guard lock(mutex_);
    fileNamesByUrl_.clear();
    lastUsedTimes_.clear();
    // A folder made again is another folder: the one held open would find nothing.
    openFolder_.reset();
}

bool SimpleCache::isCurrent(const CacheEntry& /*entry*/)
{
    // Every body lies in a file of its entry alone, whose stamp EntryBody checks.
    return true;
}

bool SimpleCache::ownsFolder(const QString& folder) const
{
    return folder == folder_.path();
}
