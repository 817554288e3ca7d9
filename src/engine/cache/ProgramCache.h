#pragma once

#include "engine/cache/UrlCache.h"

#include <memory>
#include <mutex>

// The cache the program harvests: the browsers' caches of the moment, replaced as a whole when they
// are found again (before each run), so that caches and entries that appeared since are seen. Walks,
// lookups and deletions already under way keep the caches they started with.
class ProgramCache : public UrlCache
{
public:
    ProgramCache();
    explicit ProgramCache(std::shared_ptr<UrlCache> caches);

    void replace(std::shared_ptr<UrlCache> caches);

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
    std::shared_ptr<UrlCache> current() const;

    mutable std::mutex mutex_;
    std::shared_ptr<UrlCache> caches_;
};
