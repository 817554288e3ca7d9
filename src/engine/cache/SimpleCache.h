#pragma once

#include "engine/cache/SimpleCacheFolder.h"
#include "engine/cache/UrlCache.h"
#include "engine/cache/UrlIndex.h"

#include <QDateTime>
#include <QHash>
#include <memory>
#include <mutex>
#include <optional>

// The HTTP cache of a Chromium-family browser in its "simple" format (the Linux default), read in place.
// Walks go through the entry files in name order. Lookups use a map from URL to entry files built on the
// first lookup or deletion, since keys carry the top-level site as well as the URL and the site of a URL
// asked for is not known; a deletion updates the map. Entries the browser writes after the map was built
// are found by walks but not by lookups, unless read through readEntryOf (as keeping does).
class FolderHandle;

class SimpleCache : public UrlCache
{
public:
    // `folder` holds the entry files (for example ~/.cache/chromium/Default/Cache/Cache_Data).
    explicit SimpleCache(const QString& folder,
                         SimpleCacheFolder::Stream0 stream0 = SimpleCacheFolder::Stream0::ResponseInfo);

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
    // Builds the URL map if it is not there yet; false when `stop` was set first. Called with mutex_ held.
    bool ensureUrlIndex(const std::atomic<bool>& stop);

    const SimpleCacheFolder folder_;
    std::mutex mutex_;
    UrlIndex<QString> fileNamesByUrl_;
    QHash<quint64, QDateTime> lastUsedTimes_; // the index's times when the map was built
    // The folder, opened when the map is built, so that building it and each lookup open entry files by
    // name alone.
    std::shared_ptr<const FolderHandle> openFolder_;
};
