#pragma once

#include <QString>

// A browser cache folder, the format it is in, and whose it is as the user knows it.
struct CacheLocation
{
    enum class Kind
    {
        Unknown,
        ChromiumSimple,       // Chromium-family browsers, apps built on Chromium and Qt WebEngine on Linux
        ChromiumBlockfile,    // Chromium-family browsers on Windows
        Firefox,              // cache2
        IndexDat,             // the old Windows URL cache: index.dat and its sub-folders
        NoPermission,         // a folder, or the index file in it, that this user may not read
        ChromiumCacheStorage, // a profile's service-worker caches (see CacheStorageRoot)
        WebKit,               // WebKitGTK programs (GNOME Web): the WebKitCache folder
    };

    Kind kind = Kind::Unknown;
    QString folder; // absolute and clean
    // The browser or app, with how it was installed where that is not the usual way: "Chromium",
    // "LibreWolf", "Discord (Flatpak)". Guessed from the folder for one the user named.
    QString program;
    QString profile;  // the profile's name; empty for programs without profiles
    bool app = false; // the program is an application built on a web engine, not a web browser

    // "chromium-simple", "chromium-blockfile", "firefox", "indexdat", "no-permission",
    // "chromium-cache-storage", "webkit", "unknown"
    static QString kindName(Kind kind);

    // Program, profile and, for service-worker caches, "service workers", joined by " · ":
    // "Chromium · Profile 2 · service workers".
    QString title() const;

    // The same cache: what it is called does not matter.
    friend bool operator==(const CacheLocation& a, const CacheLocation& b)
    {
        return a.kind == b.kind && a.folder == b.folder;
    }
};
