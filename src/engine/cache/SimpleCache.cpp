#include "engine/cache/SimpleCache.h"

#include "engine/cache/SimpleCacheEnumeration.h"

#include <algorithm>

SimpleCache::SimpleCache(const QString& folder, ExtractionFolder& extraction) : folder_(folder, extraction) {}

std::unique_ptr<CacheEnumeration> SimpleCache::enumerate()
{
    return std::make_unique<SimpleCacheEnumeration>(folder_);
}

void SimpleCache::ensureUrlIndex()
{
    if (urlIndexBuilt_)
        return;
    urlIndexBuilt_ = true;
    lastUsedTimes_ = folder_.lastUsedTimes();
    // Only keys are read here; whether an entry is usable is decided when it is looked up.
    for (const QString& fileName : folder_.entryFileNames()) {
        if (const std::optional<QString> url = folder_.urlOf(fileName))
            filesByUrl_[*url].append(IndexedFile{fileName, folder_.lastUsed(fileName, lastUsedTimes_)});
    }
    for (QList<IndexedFile>& files : filesByUrl_) {
        std::sort(files.begin(), files.end(), [](const IndexedFile& a, const IndexedFile& b) {
            return a.lastUsed != b.lastUsed ? a.lastUsed > b.lastUsed : a.fileName < b.fileName;
        });
    }
}

std::optional<CacheEntry> SimpleCache::lookup(const QString& url)
{
    QList<IndexedFile> candidates;
    QHash<quint64, QDateTime> lastUsedTimes;
    {
        const std::lock_guard lock(mutex_);
        ensureUrlIndex();
        candidates = filesByUrl_.value(url);
        lastUsedTimes = lastUsedTimes_;
    }
    // The most recently used entry that is still whole; an older partition's copy stands in when the
    // newest has been evicted or is an error page.
    for (const IndexedFile& candidate : candidates) {
        std::optional<CacheEntry> entry = folder_.readEntry(candidate.fileName, lastUsedTimes);
        if (entry && entry->url == url)
            return entry;
    }
    return std::nullopt;
}

void SimpleCache::remove(const QString& url)
{
    // Held throughout so that a lookup never sees the map and the folder disagree.
    const std::lock_guard lock(mutex_);
    ensureUrlIndex();
    for (const IndexedFile& file : filesByUrl_.take(url))
        folder_.removeEntry(file.fileName, url);
}
