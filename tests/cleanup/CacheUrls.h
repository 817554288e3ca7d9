#pragma once

#include "engine/cache/UrlCache.h"

#include <QStringList>

// The URLs a fresh walk of the cache offers, sorted.
inline QStringList urlsIn(UrlCache& cache)
{
    QStringList urls;
    const std::unique_ptr<CacheEnumeration> walk = cache.enumerate();
    while (const std::optional<CacheEntry> entry = walk->next())
        urls << entry->url;
    urls.sort();
    return urls;
}
