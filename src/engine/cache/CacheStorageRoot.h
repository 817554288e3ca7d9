#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <memory>

class UrlCache;

// The folder where a Chromium-family profile keeps the caches service workers fill through the Cache API
// (CacheStorage), for every site at once. Each cache a site opened is a simple cache of its own whose
// stream 0 holds a protocol buffer instead of the HTTP cache's response info, kept in
//   <profile>/Service Worker/CacheStorage/<origin hash>/<cache id>/
// or, where the browser keeps storage in buckets,
//   <profile>/WebStorage/<bucket id>/CacheStorage/<cache id>/
// beside an index.txt naming the caches. The browser never evicts them: installed web apps keep their
// pages and pictures there in full.
class CacheStorageRoot
{
public:
    // The layouts above lie at most this deep below the root.
    static constexpr int kMaxDepth = 3;
    // Folders looked at below a root: far more than a profile has caches, and a bound on the time a
    // hostile or unrelated tree of folders can take.
    static constexpr int kMaxFoldersLooked = 20000;
    // An index.txt names a site's caches in some hundred bytes; a larger one is not read.
    static constexpr qint64 kMaxIndexBytes = 1024 * 1024;

    // The caches of one site, as the index.txt beside them names it.
    struct Site
    {
        QString name; // the origin ("https://app.example/"), else the folder the caches lie in
        QStringList cacheFolders;
    };

    // The cache folders below `root` (a profile's "Service Worker/CacheStorage" or "WebStorage"), sorted:
    // each a folder beside an index.txt that holds a simple cache. The search stops at `limit` of them.
    static QStringList cacheFolders(const QString& root, int limit = kMaxFoldersLooked);

    // The sites whose caches lie below `root`, in name order: for clearing one site's caches.
    static QList<Site> sites(const QString& root);

    // Whether `root` holds at least one such cache.
    static bool recognises(const QString& root);

    // A reader for all caches below `root` as they are now, used as one; its walks hold one cache folder
    // open at a time, however many caches the profile has.
    static std::unique_ptr<UrlCache> open(const QString& root);
    // The same for the given cache folders only (those of some sites).
    static std::unique_ptr<UrlCache> open(const QStringList& cacheFolders);
};
