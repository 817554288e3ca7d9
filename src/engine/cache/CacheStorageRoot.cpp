#include "engine/cache/CacheStorageRoot.h"

#include "engine/cache/CombinedCache.h"
#include "engine/cache/SimpleCache.h"

#include <QDir>
#include <QFileInfo>
#include <algorithm>

namespace
{

bool holdsSimpleCache(const QDir& folder)
{
    return QFileInfo::exists(folder.filePath(QStringLiteral("index"))) ||
           QFileInfo::exists(folder.filePath(QStringLiteral("index-dir/the-real-index")));
}

} // namespace

QStringList CacheStorageRoot::cacheFolders(const QString& root, int limit)
{
    QStringList found;
    // Level by level, so that the depth bound needs no recursion.
    QStringList level{QDir::cleanPath(QDir(root).absolutePath())};
    int looked = 0;
    for (int depth = 0; depth < kMaxDepth && !level.isEmpty() && found.size() < limit; ++depth) {
        QStringList deeper;
        for (const QString& path : level) {
            const QDir folder(path);
            const bool indexed = QFileInfo(folder.filePath(QStringLiteral("index.txt"))).isFile();
            for (const QString& name : folder.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks)) {
                if (++looked > kMaxFoldersLooked || found.size() >= limit)
                    break;
                const QString child = folder.filePath(name);
                if (indexed && holdsSimpleCache(QDir(child)))
                    found << child;
                else
                    deeper << child;
            }
        }
        level = deeper;
    }
    std::sort(found.begin(), found.end());
    return found;
}

bool CacheStorageRoot::recognises(const QString& root)
{
    return !cacheFolders(root, 1).isEmpty();
}

std::unique_ptr<UrlCache> CacheStorageRoot::open(const QString& root)
{
    std::vector<std::unique_ptr<UrlCache>> caches;
    for (const QString& folder : cacheFolders(root))
        caches.push_back(std::make_unique<SimpleCache>(folder, SimpleCacheFolder::Stream0::CacheStorage));
    return std::make_unique<CombinedCache>(std::move(caches), CombinedCache::Walks::OneAfterAnother);
}
