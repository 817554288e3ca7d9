#include "engine/cache/CombinedCache.h"

#include <algorithm>

namespace
{

class ChainedEnumeration : public CacheEnumeration
{
public:
    ChainedEnumeration(const std::vector<std::unique_ptr<UrlCache>>& caches, Offer offer)
        : caches_(caches), offer_(offer)
    {}

    std::optional<CacheEntry> next() override
    {
        while (next_ < caches_.size() || current_) {
            if (!current_) {
                UrlCache& cache = *caches_[next_++];
                current_ = offer_ == Offer::Usable ? cache.enumerate() : cache.enumerateAll();
            }
            if (current_) {
                if (std::optional<CacheEntry> entry = current_->next())
                    return entry;
                current_.reset();
            }
        }
        return std::nullopt;
    }

private:
    const std::vector<std::unique_ptr<UrlCache>>& caches_;
    const Offer offer_;
    std::size_t next_ = 0;
    std::unique_ptr<CacheEnumeration> current_;
};

} // namespace

CombinedCache::CombinedCache(std::vector<std::unique_ptr<UrlCache>> caches) : caches_(std::move(caches)) {}

std::unique_ptr<CacheEnumeration> CombinedCache::enumerate()
{
    return std::make_unique<ChainedEnumeration>(caches_, CacheEnumeration::Offer::Usable);
}

std::unique_ptr<CacheEnumeration> CombinedCache::enumerateAll()
{
    return std::make_unique<ChainedEnumeration>(caches_, CacheEnumeration::Offer::Every);
}

std::optional<CacheEntry> CombinedCache::lookup(const QString& url)
{
    std::optional<CacheEntry> best;
    for (const std::unique_ptr<UrlCache>& cache : caches_) {
        std::optional<CacheEntry> found = cache->lookup(url);
        if (found && (!best || found->lastAccess > best->lastAccess))
            best = std::move(found);
    }
    return best;
}

void CombinedCache::remove(const QString& url)
{
    for (const std::unique_ptr<UrlCache>& cache : caches_)
        cache->remove(url);
}

UrlCache* CombinedCache::cacheOf(const CacheEntry& entry) const
{
    for (const std::unique_ptr<UrlCache>& cache : caches_) {
        if (cache->ownsFolder(entry.sourceFolder))
            return cache.get();
    }
    return nullptr;
}

UrlCache::RemoveOutcome CombinedCache::removeEntry(const CacheEntry& entry)
{
    UrlCache* const cache = cacheOf(entry);
    return cache ? cache->removeEntry(entry) : RemoveOutcome::Gone;
}

bool CombinedCache::isCurrent(const CacheEntry& entry)
{
    UrlCache* const cache = cacheOf(entry);
    return cache && cache->isCurrent(entry);
}

bool CombinedCache::ownsFolder(const QString& folder) const
{
    return std::any_of(caches_.begin(), caches_.end(),
                       [&](const std::unique_ptr<UrlCache>& cache) { return cache->ownsFolder(folder); });
}
