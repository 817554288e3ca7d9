#pragma once

#include "engine/cache/CacheEntry.h"
#include "engine/cache/UrlCache.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <optional>

class FirefoxEntryFile;

// A Firefox cache2 folder on disk (the one holding `entries/`), read in place: which entry files it has,
// which of them hold a usable response, and deleting one. Other files of the folder (index, journal,
// doomed/ and trash folders, eviction markers) are left alone: the index has no URLs or times, and the
// rest are entries on their way out. Safe to use from several threads at once.
class FirefoxCacheFolder
{
public:
    explicit FirefoxCacheFolder(const QString& folder);

    const QString& path() const { return path_; }

    // The names in entries/ that can be entry files (regular files named by 40 hex digits), sorted. The
    // directory's own order changes from run to run; sorted names give walks a stable one.
    QStringList entryFileNames() const;

    enum class Detail
    {
        Full,       // everything, including the local file name and the decoded size where it is recorded
        UrlAndTime, // url and lastAccess only: enough to index the folder without touching any body
    };

    // The entry of entries/<fileName> whatever its response (any status, a range, a body cut short, none),
    // as a reference: url, sourceFolder and entryKey. std::nullopt when its metadata cannot be read (it is
    // still being written, or damaged), the file is not named after its key, or the key is not an HTTP one.
    std::optional<CacheEntry> referenceOf(const QString& fileName) const;

    // The entry held by entries/<fileName> if it is a whole 2xx HTTP response; std::nullopt for anything
    // else (damaged, incomplete, still being written, not HTTP, an error or a redirect, vanished).
    std::optional<CacheEntry> readEntry(const QString& fileName, Detail detail = Detail::Full) const;

    // Unlinks the entry file of `entry` (as a walk or lookup gave it) while it is still the file read then
    // (same stamp, where the entry has one) and holds the same URL.
    UrlCache::RemoveOutcome removeEntry(const CacheEntry& entry) const;

    static bool isEntryFileName(const QString& fileName);

private:
    // The file entries/<fileName> and its key's URL, if it is named after its key and that is an HTTP one.
    std::optional<FirefoxEntryFile> readHttpEntryFile(const QString& fileName, QByteArray* url) const;

    QString path_;
    QString entriesPath_;
};
