#include "engine/cache/ProgramCache.h"

#include "engine/cache/CombinedCache.h"

namespace
{

// A walk that keeps its caches alive, however often they are replaced meanwhile.
class HoldingEnumeration : public CacheEnumeration
{
public:
    HoldingEnumeration(std::shared_ptr<UrlCache> caches, Offer offer)
        : caches_(std::move(caches)), walk_(offer == Offer::Usable ? caches_->enumerate() : caches_->enumerateAll())
    {}

    std::optional<CacheEntry> next() override { return walk_->next(); }
    Progress progress() const override { return walk_->progress(); }

private:
    std::shared_ptr<UrlCache> caches_;
    std::unique_ptr<CacheEnumeration> walk_;
};

} // namespace

ProgramCache::ProgramCache() : ProgramCache(std::make_shared<CombinedCache>(std::vector<std::unique_ptr<UrlCache>>()))
{}

ProgramCache::ProgramCache(std::shared_ptr<UrlCache> caches) : caches_(std::move(caches)) {}

void ProgramCache::replace(std::shared_ptr<UrlCache> caches)
{
    const std::lock_guard lock(mutex_);
    caches_ = std::move(caches);
}

std::shared_ptr<UrlCache> ProgramCache::current() const
{
    const std::lock_guard lock(mutex_);
    return caches_;
}

std::unique_ptr<CacheEnumeration> ProgramCache::enumerate()
{
    return std::make_unique<HoldingEnumeration>(current(), CacheEnumeration::Offer::Usable);
}

std::unique_ptr<CacheEnumeration> ProgramCache::enumerateAll()
{
    return std::make_unique<HoldingEnumeration>(current(), CacheEnumeration::Offer::Every);
}

std::optional<CacheEntry> ProgramCache::lookup(const QString& url)
{
    return current()->lookup(url);
}

std::optional<CacheEntry> ProgramCache::lookupUnlessStopped(const QString& url, const std::atomic<bool>& stop)
{
    return current()->lookupUnlessStopped(url, stop);
}

UrlCache::RemoveOutcome ProgramCache::removeEntry(const CacheEntry& entry)
{
    return current()->removeEntry(entry);
}

bool ProgramCache::isCurrent(const CacheEntry& entry)
{
    return current()->isCurrent(entry);
}

std::optional<CacheEntry> ProgramCache::readEntryOf(const QString& folder, const QString& entryKey)
{
    return current()->readEntryOf(folder, entryKey);
}

void ProgramCache::forgetFolder(const QString& folder)
{
    current()->forgetFolder(folder);
}

bool ProgramCache::ownsFolder(const QString& folder) const
{
    return current()->ownsFolder(folder);
}
