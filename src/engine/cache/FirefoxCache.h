#pragma once

#include "engine/cache/UrlCache.h"
#include "engine/cache/UrlIndex.h"

#include <QString>
#include <memory>
#include <mutex>

class FirefoxCacheFolder;

// Firefox's HTTP disk cache: one cache2 folder (the one holding `entries/`), read in place.
//
// The browser partitions its cache by top-level site and names each entry file after a hash of the whole
// key, partition included, so a URL alone leads to no file. Lookups therefore go through an index of
// URL -> entry files, built by one walk on the first lookup or removal and kept in step with removals.
// Entries the browser adds after that are not found by lookup until a new FirefoxCache is made, unless
// read through readEntryOf (as keeping does).
class FirefoxCache : public UrlCache
{
public:
    explicit FirefoxCache(const QString& folder);
    ~FirefoxCache() override;

    std::unique_ptr<CacheEnumeration> enumerate() override;
    std::unique_ptr<CacheEnumeration> enumerateAll() override;
    std::optional<CacheEntry> lookup(const QString& url) override;
    std::optional<CacheEntry> lookupUnlessStopped(const QString& url, const std::atomic<bool>& stop) override;
    RemoveOutcome removeEntry(const CacheEntry& entry) override;
    std::optional<CacheEntry> readEntryOf(const QString& folder, const QString& entryKey) override;
    void forgetFolder(const QString& folder) override;
    bool isCurrent(const CacheEntry& entry) override;
    bool ownsFolder(const QString& folder) const override;

private:
    // False when `stop` was set before the index was whole.
    bool buildIndexLocked(const std::atomic<bool>& stop);

    std::shared_ptr<const FirefoxCacheFolder> folder_;
    std::mutex indexMutex_;
    UrlIndex<QString> fileNamesByUrl_;
};
