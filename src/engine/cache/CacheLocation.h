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
    };

    Kind kind = Kind::Unknown;
    QString folder; // absolute and clean

    // "chromium-simple", "chromium-blockfile", "firefox", "indexdat", "unknown"
    static QString kindName(Kind kind);

    friend bool operator==(const CacheLocation&, const CacheLocation&) = default;
};
