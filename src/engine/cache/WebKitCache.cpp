#include "engine/cache/WebKitCache.h"

#include "engine/cache/WebKitCacheEnumeration.h"
#include "engine/cache/WebKitCacheFolder.h"

WebKitCache::WebKitCache(const QString& folder) : folder_(std::make_shared<const WebKitCacheFolder>(folder)) {}

WebKitCache::~WebKitCache() = default;

std::unique_ptr<CacheEnumeration> WebKitCache::enumerate()
{
    return std::make_unique<WebKitCacheEnumeration>(folder_, folder_->recordNames());
}

std::unique_ptr<CacheEnumeration> WebKitCache::enumerateAll()
{
    return std::make_unique<WebKitCacheEnumeration>(folder_, folder_->recordNames(), CacheEnumeration::Offer::Every);
}

bool WebKitCache::buildIndexLocked(const std::atomic<bool>& stop)
{
    if (recordNamesByUrl_.isFinished())
        return true;
    WebKitCacheEnumeration walk(folder_, folder_->recordNames());
    while (const std::optional<CacheEntry> entry = walk.next()) {
        if (stop.load(std::memory_order_relaxed)) {
            recordNamesByUrl_.discardAdded();
            return false;
        }
        recordNamesByUrl_.add(entry->url, entry->entryKey, entry->lastAccess);
    }
    // Among records used at the same moment the walk's order decides.
    recordNamesByUrl_.finish();
    return true;
}

std::optional<CacheEntry> WebKitCache::lookup(const QString& url)
{
    const std::atomic<bool> never{false};
    return lookupUnlessStopped(url, never);
}

std::optional<CacheEntry> WebKitCache::lookupUnlessStopped(const QString& url, const std::atomic<bool>& stop)
{
    std::unique_lock lock(indexMutex_);
    if (!buildIndexLocked(stop))
        return std::nullopt;
    const QList<QString> candidates = recordNamesByUrl_.candidates(url);
    lock.unlock();

    QStringList goneNames;
    std::optional<CacheEntry> entry = UrlIndex<QString>::firstHolding(
        candidates, url, [&](const QString& name) { return folder_->readEntry(name).entry; }, goneNames);
    if (!goneNames.isEmpty()) {
        lock.lock();
        recordNamesByUrl_.removeIf(url, [&](const QString& name) { return goneNames.contains(name); });
    }
    return entry;
}

UrlCache::RemoveOutcome WebKitCache::removeEntry(const CacheEntry& entry)
{
    const std::lock_guard lock(indexMutex_);
    const RemoveOutcome outcome = folder_->removeEntry(entry);
    if (outcome == RemoveOutcome::Removed)
        recordNamesByUrl_.dropCandidate(entry.url, entry.entryKey);
    return outcome;
}

std::optional<CacheEntry> WebKitCache::readEntryOf(const QString& folder, const QString& entryKey)
{
    if (folder != folder_->path() || !WebKitCacheFolder::isRecordName(entryKey))
        return std::nullopt;
    std::optional<CacheEntry> entry = folder_->readEntry(entryKey).entry;
    if (entry) {
        const std::lock_guard lock(indexMutex_);
        recordNamesByUrl_.learn(entry->url, entryKey);
    }
    return entry;
}

void WebKitCache::forgetFolder(const QString& folder)
{
    if (folder != folder_->path())
        return;
    const std::lock_guard lock(indexMutex_);
    recordNamesByUrl_.clear();
}

bool WebKitCache::isCurrent(const CacheEntry& /*entry*/)
{
    // Every body lies in a file of its entry alone (its record or its blob), whose stamp EntryBody checks.
    return true;
}

bool WebKitCache::ownsFolder(const QString& folder) const
{
    return folder == folder_->path();
}
