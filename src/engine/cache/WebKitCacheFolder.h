#pragma once

#include "engine/cache/CacheEntry.h"
#include "engine/cache/UrlCache.h"
#include "engine/cache/WebKitRecord.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <memory>
#include <optional>
#include <sys/stat.h>
#include <variant>

// A WebKit network cache folder on disk (the "WebKitCache" one, holding "Version 17"), read in place:
// which records it has, which of them hold a usable response, and deleting one. Only the records of
// WebKitRecord::kVersion are read; the browser deletes the folders of other versions itself. Blobs/ is
// left alone: each "-blob" file beside a record is a hard link to a file there, and the browser drops
// the files there that no record links to any more. Safe to use from several threads at once.
class FolderHandle;

class WebKitCacheFolder
{
public:
    explicit WebKitCacheFolder(const QString& folder);

    const QString& path() const { return path_; }

    // Whether `folder` is a cache of this format: it holds "Version 17/Records".
    static bool recognises(const QString& folder);

    // The records of responses, as "<partition hash>/<key hash>" (what an entry's entryKey is), sorted:
    // the directory's own order changes from run to run. Whatever a record folder holds under a record's
    // name is listed, regular file or not, for reading to refuse with its reason.
    QStringList recordNames() const;

    // A record read, or why it was not.
    struct Read
    {
        std::optional<CacheEntry> entry;
        WebKitRecord::Refusal refusal = WebKitRecord::Refusal::None;
    };

    // The folder that holds record `name` and its blob, open: a walk passes it for each record of that
    // partition, so that their files are opened by name alone. Records are many and their paths long.
    std::shared_ptr<const FolderHandle> openFolderOf(const QString& name) const;
    static QString partitionOf(const QString& name) { return name.left(kHashDigits); }

    // The entry of record `name` if it is a whole 2xx HTTP response with its body; else why not.
    // `openFolder`, where given, is openFolderOf(name).
    Read readEntry(const QString& name, const std::shared_ptr<const FolderHandle>& openFolder = nullptr) const;

    // The entry of record `name` whatever its response (any status, its blob gone), as a reference: url,
    // sourceFolder and entryKey. Refused only when the record itself cannot be read.
    Read referenceOf(const QString& name, const FolderHandle* openFolder = nullptr) const;

    // Unlinks the record of `entry` and its blob, while the record is still the file read then (same
    // stamp, where the entry has one) and holds the same URL: what the browser does itself to drop a
    // record. Safe while it runs: a record it cannot find is a miss, and its filter of the keys it holds
    // only ever claims too many.
    UrlCache::RemoveOutcome removeEntry(const CacheEntry& entry) const;

    static bool isRecordName(const QString& name);

private:
    static constexpr qsizetype kHashDigits = 40;

    // What the record holds, or why not. `status` gets the record file's status.
    struct Parsed
    {
        std::variant<WebKitRecord, WebKitRecord::Refusal> record = WebKitRecord::Refusal::Unreadable;
        struct stat status = {};
    };
    Parsed parse(const QString& name, const FolderHandle* openFolder) const;

    QString recordPath(const QString& name) const;

    QString path_;
    QString recordsPath_;
    QByteArray salt_; // empty when the version folder has none of the right size
};
