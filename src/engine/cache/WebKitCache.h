#pragma once

#include "engine/cache/UrlCache.h"
#include "engine/cache/UrlIndex.h"

#include <QString>
#include <memory>
#include <mutex>

class WebKitCacheFolder;

// The network cache of WebKitGTK programs such as GNOME Web: one WebKitCache folder, read in place, with
// deletion (see WebKitCacheFolder::removeEntry).
//
// Records are named after a salted hash of their whole key, partition included, so a URL alone leads to
// no file. Lookups therefore go through an index of URL -> records, built by one walk on the first lookup
// or removal and kept in step with removals. Records the browser adds after that are not found by lookup
// until a new WebKitCache is made, unless read through readEntryOf (as keeping does).
class WebKitCache : public UrlCache
{
public:
    explicit WebKitCache(const QString& folder);
    ~WebKitCache() override;

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

    const std::shared_ptr<const WebKitCacheFolder> folder_;
    std::mutex indexMutex_;
    UrlIndex<QString> recordNamesByUrl_;
};
