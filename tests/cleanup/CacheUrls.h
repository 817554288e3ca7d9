#pragma once

#include "engine/cache/UrlCache.h"

#include <QStringList>

// The URLs a fresh walk of the cache offers, sorted: of its usable entries, or with `offer` Every, of all.
inline QStringList urlsIn(UrlCache& cache, CacheEnumeration::Offer offer = CacheEnumeration::Offer::Usable)
{
    QStringList urls;
    const std::unique_ptr<CacheEnumeration> walk =
        offer == CacheEnumeration::Offer::Usable ? cache.enumerate() : cache.enumerateAll();
    while (const std::optional<CacheEntry> entry = walk->next())
        urls << entry->url;
    urls.sort();
    return urls;
}
