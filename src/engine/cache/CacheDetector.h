#pragma once

#include "engine/cache/CacheLocation.h"

#include <QList>
#include <QString>
#include <memory>

class IniFile;
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

    // Which kinds of cache the program uses when the INI file lists no folders: the [cache kinds] section
    // ("browsers", "apps", "service workers", each 1 or 0). Browsers' HTTP caches and their service-worker
    // caches are used unless turned off; apps' caches are found and shown but used only when turned on,
    // since what an app keeps is seldom what the user browsed, and clean-up would empty it too.
    struct Uses
    {
        bool browsers = true;
        bool apps = false;
        bool serviceWorkers = true;

        static Uses fromIni(const QString& iniFile);
        // Into `ini`, inside the caller's update when it makes one.
        void writeTo(IniFile& ini) const;
        bool includes(const CacheLocation& location) const;

        friend bool operator==(const Uses&, const Uses&) = default;
    };

    // Every cache under the user's folders, each named by its program and profile, in a fixed order:
    // Chromium-family browsers' profiles (every one their Local State lists) and their service-worker
    // caches, Firefox and its forks and relatives (by their profiles.ini, one or two folders deep), Qt
    // WebEngine programs, apps built on Chromium (any folder of the configuration home holding a simple
    // cache in Cache/Cache_Data) and on CEF, each also as a Snap or Flatpak package, and the caches of
    // Windows users in Wine prefixes. A cache folder this user may not read comes as Kind::NoPermission.
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
    // every cache found in the user's folders of the kinds its Uses include. Those this user may not read come as
    // Kind::NoPermission, for the caller to report.
    static QList<CacheLocation> programCaches(const QString& iniFile, const Homes& homes);

    // A reader for `location`; nullptr for a kind this program cannot read.
    static std::unique_ptr<UrlCache> open(const CacheLocation& location);

    // Readers for all of `locations` that this program can read, used as one cache.
    static std::unique_ptr<UrlCache> openAll(const QList<CacheLocation>& locations);
};
