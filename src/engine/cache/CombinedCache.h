#pragma once

#include "engine/cache/UrlCache.h"

#include <memory>
#include <vector>

// Several caches used as one: walked one after another in the given order; a lookup takes the most
// recently used entry of any of them; a deletion deletes from all.
class CombinedCache : public UrlCache
{
public:
    explicit CombinedCache(std::vector<std::unique_ptr<UrlCache>> caches);

    std::unique_ptr<CacheEnumeration> enumerate() override;
    std::optional<CacheEntry> lookup(const QString& url) override;
    void remove(const QString& url) override;

private:
    const std::vector<std::unique_ptr<UrlCache>> caches_;
};
