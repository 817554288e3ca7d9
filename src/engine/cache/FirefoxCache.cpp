#include "engine/cache/FirefoxCache.h"

#include "engine/cache/FirefoxCacheEnumeration.h"
#include "engine/cache/FirefoxCacheFolder.h"

FirefoxCache::FirefoxCache(const QString& folder) : folder_(std::make_shared<const FirefoxCacheFolder>(folder)) {}

FirefoxCache::~FirefoxCache() = default;

std::unique_ptr<CacheEnumeration> FirefoxCache::enumerate()
{
    return std::make_unique<FirefoxCacheEnumeration>(folder_, folder_->entryFileNames());
}

std::unique_ptr<CacheEnumeration> FirefoxCache::enumerateAll()
{
    return std::make_unique<FirefoxCacheEnumeration>(folder_, folder_->entryFileNames(),
                                                     CacheEnumeration::Offer::Every);
}

bool FirefoxCache::buildIndexLocked(const std::atomic<bool>& stop)
{
    if (fileNamesByUrl_.isFinished())
        return true;
    for (const QString& fileName : folder_->entryFileNames()) {
        if (stop.load(std::memory_order_relaxed)) {
            fileNamesByUrl_.discardAdded();
            return false;
        }
        if (const std::optional<CacheEntry> entry =
                folder_->readEntry(fileName, FirefoxCacheFolder::Detail::UrlAndTime))
            fileNamesByUrl_.add(entry->url, fileName, entry->lastAccess);
    }
    // Among entries used in the same second the walk's order decides.
    fileNamesByUrl_.finish();
    return true;
}

std::optional<CacheEntry> FirefoxCache::lookup(const QString& url)
{
    const std::atomic<bool> never{false};
    return lookupUnlessStopped(url, never);
}

std::optional<CacheEntry> FirefoxCache::lookupUnlessStopped(const QString& url, const std::atomic<bool>& stop)
{
    std::unique_lock lock(indexMutex_);
    if (!buildIndexLocked(stop))
        return std::nullopt;
    const QList<QString> candidates = fileNamesByUrl_.candidates(url);
    lock.unlock();

    QStringList goneFileNames;
    std::optional<CacheEntry> entry = UrlIndex<QString>::firstHolding(
        candidates, url, [&](const QString& fileName) { return folder_->readEntry(fileName); }, goneFileNames);
    if (!goneFileNames.isEmpty()) {
        lock.lock();
        fileNamesByUrl_.removeIf(url, [&](const QString& fileName) { return goneFileNames.contains(fileName); });
    }
    return entry;
}

UrlCache::RemoveOutcome FirefoxCache::removeEntry(const CacheEntry& entry)
{
    const std::lock_guard lock(indexMutex_);
    const RemoveOutcome outcome = folder_->removeEntry(entry);
    if (outcome == RemoveOutcome::Removed)
        fileNamesByUrl_.dropCandidate(entry.url, entry.entryKey);
    return outcome;
}

std::optional<CacheEntry> FirefoxCache::readEntryOf(const QString& folder, const QString& entryKey)
{
    if (folder != folder_->path() || !FirefoxCacheFolder::isEntryFileName(entryKey))
        return std::nullopt;
    std::optional<CacheEntry> entry = folder_->readEntry(entryKey);
    if (entry) {
        const std::lock_guard lock(indexMutex_);
        fileNamesByUrl_.learn(entry->url, entryKey);
    }
    return entry;
}

void FirefoxCache::forgetFolder(const QString& folder)
{
    if (folder != folder_->path())
        return;
    const std::lock_guard lock(indexMutex_);
    fileNamesByUrl_.clear();
}

bool FirefoxCache::isCurrent(const CacheEntry& /*entry*/)
{
    // Every body lies in a file of its entry alone, whose stamp EntryBody checks.
    return true;
}

bool FirefoxCache::ownsFolder(const QString& folder) const
{
    return folder == folder_->path();
}
