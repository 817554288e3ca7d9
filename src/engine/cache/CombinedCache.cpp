#include "engine/cache/CombinedCache.h"

namespace
{

class ChainedEnumeration : public CacheEnumeration
{
public:
    explicit ChainedEnumeration(const std::vector<std::unique_ptr<UrlCache>>& caches) : caches_(caches) {}

    std::optional<CacheEntry> next() override
    {
        while (next_ < caches_.size() || current_) {
            if (!current_)
                current_ = caches_[next_++]->enumerate();
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
    std::size_t next_ = 0;
    std::unique_ptr<CacheEnumeration> current_;
};

} // namespace

CombinedCache::CombinedCache(std::vector<std::unique_ptr<UrlCache>> caches) : caches_(std::move(caches)) {}

std::unique_ptr<CacheEnumeration> CombinedCache::enumerate()
{
    return std::make_unique<ChainedEnumeration>(caches_);
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
