#include "engine/cache/FirefoxCache.h"

#include "engine/cache/FirefoxCacheEnumeration.h"
#include "engine/cache/FirefoxCacheFolder.h"

#include <algorithm>

FirefoxCache::FirefoxCache(const QString& folder, ExtractionFolder& extraction)
    : folder_(std::make_shared<const FirefoxCacheFolder>(folder, extraction))
{}

FirefoxCache::~FirefoxCache() = default;

std::unique_ptr<CacheEnumeration> FirefoxCache::enumerate()
{
    return std::make_unique<FirefoxCacheEnumeration>(folder_, folder_->entryFileNames());
}

void FirefoxCache::buildIndexLocked()
{
    if (indexBuilt_)
        return;
    indexBuilt_ = true;
    for (const QString& fileName : folder_->entryFileNames()) {
        if (const std::optional<CacheEntry> entry =
                folder_->readEntry(fileName, FirefoxCacheFolder::Detail::UrlAndTime))
            filesByUrl_[entry->url].append({fileName, entry->lastAccess});
    }
    // Stable, so that among entries used in the same second the walk's order decides.
    for (QList<IndexedFile>& files : filesByUrl_) {
        std::stable_sort(files.begin(), files.end(), [](const IndexedFile& left, const IndexedFile& right) {
            return left.lastAccess > right.lastAccess;
        });
    }
}

std::optional<CacheEntry> FirefoxCache::lookup(const QString& url)
{
    std::unique_lock lock(indexMutex_);
    buildIndexLocked();
    const auto found = filesByUrl_.constFind(url);
    if (found == filesByUrl_.constEnd())
        return std::nullopt;
    const QList<IndexedFile> candidates = *found;
    lock.unlock();

    // The files are read again: the browser may have replaced or dropped them since the index was made.
    QStringList goneFileNames;
    std::optional<CacheEntry> entry;
    for (const IndexedFile& candidate : candidates) {
        entry = folder_->readEntry(candidate.fileName);
        if (entry && entry->url == url)
            break;
        entry.reset();
        goneFileNames.append(candidate.fileName);
    }
    if (!goneFileNames.isEmpty()) {
        lock.lock();
        if (const auto files = filesByUrl_.find(url); files != filesByUrl_.end()) {
            files->removeIf([&](const IndexedFile& file) { return goneFileNames.contains(file.fileName); });
            if (files->isEmpty())
                filesByUrl_.erase(files);
        }
    }
    return entry;
}

void FirefoxCache::remove(const QString& url)
{
    const std::lock_guard lock(indexMutex_);
    buildIndexLocked();
    for (const IndexedFile& file : filesByUrl_.take(url))
        folder_->removeEntryFile(file.fileName);
}
