#pragma once

#include <QString>

// A browser cache folder and the format it is in.
struct CacheLocation
{
    enum class Kind
    {
        Unknown,
        ChromiumSimple,    // Chromium-family browsers and Qt WebEngine on Linux
        ChromiumBlockfile, // Chromium-family browsers on Windows
        Firefox,           // cache2
        IndexDat,          // the old Windows URL cache: index.dat and its sub-folders
        NoPermission,      // a folder, or the index file in it, that this user may not read
    };

    Kind kind = Kind::Unknown;
    QString folder; // absolute and clean

    // "chromium-simple", "chromium-blockfile", "firefox", "indexdat", "no-permission", "unknown"
    static QString kindName(Kind kind);

    friend bool operator==(const CacheLocation&, const CacheLocation&) = default;
};
