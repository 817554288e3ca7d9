#include "engine/cache/CacheStorageRoot.h"

#include "engine/cache/CombinedCache.h"
#include "engine/cache/SimpleCache.h"

#include "engine/cache/ProtobufReader.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMap>
#include <algorithm>

namespace
{

// The site an index.txt (a CacheStorageIndex message) is of: its origin field, else its storage key,
// which starts with the origin; empty when it names neither.
QString siteOf(const QString& indexFile)
{
    QFile file(indexFile);
    if (file.size() > CacheStorageRoot::kMaxIndexBytes || !file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray index = file.read(CacheStorageRoot::kMaxIndexBytes);
    constexpr quint32 kOriginField = 2;
    constexpr quint32 kStorageKeyField = 3;
    QByteArrayView origin;
    QByteArrayView storageKey;
    ProtobufReader reader(index);
    while (const std::optional<ProtobufReader::Field> field = reader.next()) {
        if (field->type != ProtobufReader::WireType::LengthDelimited)
            continue;
        if (field->number == kOriginField)
            origin = field->bytes;
        else if (field->number == kStorageKeyField)
            storageKey = field->bytes;
    }
    // A partitioned storage key goes on after the origin with "^" and the top-level site.
    const qsizetype caret = storageKey.indexOf('^');
    const QByteArrayView site = !origin.isEmpty() ? origin : caret >= 0 ? storageKey.first(caret) : storageKey;
    return QString::fromUtf8(site).trimmed();
}

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

QList<CacheStorageRoot::Site> CacheStorageRoot::sites(const QString& root)
{
    QMap<QString, QStringList> foldersBySite;
    QHash<QString, QString> siteByIndexFolder;
    for (const QString& folder : cacheFolders(root)) {
        const QString indexFolder = QFileInfo(folder).path();
        auto known = siteByIndexFolder.find(indexFolder);
        if (known == siteByIndexFolder.end()) {
            QString site = siteOf(indexFolder + QStringLiteral("/index.txt"));
            if (site.isEmpty())
                site = QFileInfo(indexFolder).fileName();
            known = siteByIndexFolder.insert(indexFolder, site);
        }
        foldersBySite[*known] << folder;
    }
    QList<Site> sites;
    for (auto it = foldersBySite.cbegin(); it != foldersBySite.cend(); ++it)
        sites << Site{it.key(), it.value()};
    return sites;
}

std::unique_ptr<UrlCache> CacheStorageRoot::open(const QString& root)
{
    return open(cacheFolders(root));
}

std::unique_ptr<UrlCache> CacheStorageRoot::open(const QStringList& cacheFolders)
{
    std::vector<std::unique_ptr<UrlCache>> caches;
    for (const QString& folder : cacheFolders)
        caches.push_back(std::make_unique<SimpleCache>(folder, SimpleCacheFolder::Stream0::CacheStorage));
    return std::make_unique<CombinedCache>(std::move(caches), CombinedCache::Walks::OneAfterAnother);
}
