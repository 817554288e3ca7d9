#pragma once

#include "engine/cache/CacheLocation.h"

#include <QList>
#include <QString>
#include <memory>

class UrlCache;

// Finds the browser caches of this computer's user and tells a cache folder's format from its contents.
class CacheDetector
{
public:
    // The folders that Linux programs find through HOME, XDG_CACHE_HOME and XDG_CONFIG_HOME.
    struct Homes
    {
        QString home;
        QString cacheHome;  // XDG_CACHE_HOME, or home/.cache
        QString configHome; // XDG_CONFIG_HOME, or home/.config

        static Homes fromEnvironment();
    };

    // Every cache under the user's folders: Chromium-family profiles, Firefox profiles (also those of
    // the snap and flatpak packages of both), Qt WebEngine caches, and the caches of Windows users in
    // Wine prefixes; in a fixed order. A cache folder this user may not read comes as Kind::NoPermission.
    static QList<CacheLocation> detect(const Homes& homes);

    // The cache in `folder`: the folder itself or, for a profile folder, the cache folder inside it.
    // Kind::NoPermission, with the folder concerned, when no cache can be read and this user may not read
    // a folder or an index file the cache's format would be told by; Kind::Unknown when the folder holds
    // no cache this program knows.
    static CacheLocation recognise(const QString& folder);

    // The folders listed in the [cache] section of an INI file (each line "<any name>=<folder>"; a
    // leading "~/" stands for the home folder). Empty when the file or the section is missing.
    static QStringList configuredFolders(const QString& iniFile, const QString& home);

    // The caches the program uses: those listed in `iniFile` that hold a cache, or, when it lists none,
    // every cache found in the user's folders. Those this user may not read come as Kind::NoPermission,
    // for the caller to report.
    static QList<CacheLocation> programCaches(const QString& iniFile, const Homes& homes);

    // A reader for `location`; nullptr for a kind this program cannot read.
    static std::unique_ptr<UrlCache> open(const CacheLocation& location);

    // Readers for all of `locations` that this program can read, used as one cache.
    static std::unique_ptr<UrlCache> openAll(const QList<CacheLocation>& locations);
};
