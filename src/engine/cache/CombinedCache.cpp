#include "engine/cache/CombinedCache.h"

#include <algorithm>

namespace
{

// The caches' walks one after the other. Started together, each walk lists only names or reads its index
// when it starts, so the whole walk's progress is known from its start.
class ChainedEnumeration : public CacheEnumeration
{
public:
    ChainedEnumeration(const std::vector<std::unique_ptr<UrlCache>>& caches, Offer offer, CombinedCache::Walks walks)
        : caches_(caches), offer_(offer), together_(walks == CombinedCache::Walks::Together)
    {
        walks_.resize(caches.size());
        if (together_) {
            for (std::size_t i = 0; i < caches.size(); ++i)
                walks_[i] = start(i);
        }
    }

    std::optional<CacheEntry> next() override
    {
        for (; current_ < walks_.size(); ++current_) {
            if (!together_ && !walks_[current_])
                walks_[current_] = start(current_);
            if (!walks_[current_])
                continue;
            if (std::optional<CacheEntry> entry = walks_[current_]->next())
                return entry;
            if (!together_) {
                // Ended: only its count is kept, and what it held open is let go.
                finished_ += walks_[current_]->progress().done;
                walks_[current_].reset();
            }
        }
        return std::nullopt;
    }

    // The sum over the walks whose total is known.
    Progress progress() const override
    {
        Progress sum{finished_, finished_ > 0 ? finished_ : -1};
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
    std::unique_ptr<CacheEnumeration> start(std::size_t index) const
    {
        UrlCache& cache = *caches_[index];
        return offer_ == Offer::Usable ? cache.enumerate() : cache.enumerateAll();
    }

    const std::vector<std::unique_ptr<UrlCache>>& caches_;
    const Offer offer_;
    const bool together_;
    std::vector<std::unique_ptr<CacheEnumeration>> walks_;
    std::size_t current_ = 0;
    qint64 finished_ = 0; // entries of the walks already ended and let go
};

} // namespace

CombinedCache::CombinedCache(std::vector<std::unique_ptr<UrlCache>> caches, Walks walks)
    : caches_(std::move(caches)), walks_(walks)
{}

std::unique_ptr<CacheEnumeration> CombinedCache::enumerate()
{
    return std::make_unique<ChainedEnumeration>(caches_, CacheEnumeration::Offer::Usable, walks_);
}

std::unique_ptr<CacheEnumeration> CombinedCache::enumerateAll()
{
    return std::make_unique<ChainedEnumeration>(caches_, CacheEnumeration::Offer::Every, walks_);
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

std::optional<CacheEntry> CombinedCache::readEntryOf(const QString& folder, const QString& entryKey)
{
    for (const std::unique_ptr<UrlCache>& cache : caches_) {
        if (cache->ownsFolder(folder))
            return cache->readEntryOf(folder, entryKey);
    }
    return std::nullopt;
}

void CombinedCache::forgetFolder(const QString& folder)
{
    for (const std::unique_ptr<UrlCache>& cache : caches_) {
        if (cache->ownsFolder(folder))
            cache->forgetFolder(folder);
    }
}

bool CombinedCache::ownsFolder(const QString& folder) const
{
    return std::any_of(caches_.begin(), caches_.end(),
                       [&](const std::unique_ptr<UrlCache>& cache) { return cache->ownsFolder(folder); });
}
