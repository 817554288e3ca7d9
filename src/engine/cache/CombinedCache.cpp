#include "engine/cache/CombinedCache.h"

#include <algorithm>

namespace
{

// The caches' walks one after the other. All of them start at once, so that the whole walk's progress
// is known from its start: each walk lists only names or reads its index when it starts.
class ChainedEnumeration : public CacheEnumeration
{
public:
    ChainedEnumeration(const std::vector<std::unique_ptr<UrlCache>>& caches, Offer offer)
    {
        walks_.reserve(caches.size());
        for (const std::unique_ptr<UrlCache>& cache : caches)
            walks_.push_back(offer == Offer::Usable ? cache->enumerate() : cache->enumerateAll());
    }

    std::optional<CacheEntry> next() override
    {
        for (; current_ < walks_.size(); ++current_) {
            if (!walks_[current_])
                continue;
            if (std::optional<CacheEntry> entry = walks_[current_]->next())
                return entry;
        }
        return std::nullopt;
    }

    // The sum over the walks whose total is known.
    Progress progress() const override
    {
        Progress sum;
        for (const std::unique_ptr<CacheEnumeration>& walk : walks_) {
            const Progress part = walk ? walk->progress() : Progress{};
            if (part.total < 0)
                continue;
            sum.done += part.done;
            sum.total = std::max<qint64>(sum.total, 0) + part.total;
        }
        return sum;
    }

private:
    std::vector<std::unique_ptr<CacheEnumeration>> walks_;
    std::size_t current_ = 0;
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
    const std::atomic<bool> never{false};
    return lookupUnlessStopped(url, never);
}

std::optional<CacheEntry> CombinedCache::lookupUnlessStopped(const QString& url, const std::atomic<bool>& stop)
{
    std::optional<CacheEntry> best;
    for (const std::unique_ptr<UrlCache>& cache : caches_) {
        std::optional<CacheEntry> found = cache->lookupUnlessStopped(url, stop);
        if (found && (!best || found->lastAccess > best->lastAccess))
            best = std::move(found);
    }
    return best;
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
