#pragma once

#include "engine/cache/UrlCache.h"

#include <memory>
#include <vector>

// Several caches used as one: walked one after another in the given order; a lookup takes the most
// recently used entry of any of them; a deletion by URL deletes from all, one of an entry goes to the
// cache the entry came from.
class CombinedCache : public UrlCache
{
public:
    // When the caches' walks start.
    enum class Walks
    {
        Together,        // all at the start: the whole walk's progress is known from its start
        OneAfterAnother, // each when the one before has ended: for many caches, of which a walk should
                         // hold only one open at a time; the total grows cache by cache
    };

    explicit CombinedCache(std::vector<std::unique_ptr<UrlCache>> caches, Walks walks = Walks::Together);

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
    // The cache whose folder the entry is of; nullptr when none is.
    UrlCache* cacheOf(const CacheEntry& entry) const;

    const std::vector<std::unique_ptr<UrlCache>> caches_;
    const Walks walks_;
};
