#pragma once

#include "engine/cache/CacheEntry.h"
#include "engine/cache/UrlCache.h"

#include <QByteArrayList>
#include <QString>
#include <memory>
#include <optional>

class IndexDatFile;
struct IndexDatUrlRecord;

// A legacy Windows URL cache folder (such as Content.IE5): index.dat beside the cache folders that hold
// one plain file per entry. Reads snapshots of index.dat, turns its records into entries and deletes
// entries. Holds only its path, so one instance serves several threads.
//
// Deleting edits index.dat in place under an exclusive flock(), which keeps other instances of this
// program out; the platform's own cache code takes no part in that lock, so the file must not be in use
// by it (the Windows system or Wine prefix it comes from is not running).
class IndexDatFolder
{
public:
    // What changes when index.dat is written or replaced.
    struct Version
    {
        qint64 device = -1;
        qint64 inode = -1;
        qint64 size = -1;
        qint64 modifiedNs = -1;
        qint64 changedNs = -1;
        // File times tick coarsely (by 2 s on FAT disks), so a file written this recently may be written
        // again without any of the above changing: what was read of it is not worth keeping.
        bool recentlyWritten = true;

        friend bool operator==(const Version&, const Version&) = default;
    };

    explicit IndexDatFolder(const QString& folder);

    const QString& path() const { return path_; }

    // True when `folder` holds an index.dat with a signature this program reads.
    static bool holdsIndex(const QString& folder);

    Version indexVersion() const;

    // index.dat as it is now; nullptr when it cannot be read or is not an index of a known version.
    std::shared_ptr<const IndexDatFile> readIndex() const;

    // The entry of `record` if it is a usable one: a cached resource (not a cookie, a visited link or a
    // partial response) whose local file is there with the recorded size, and whose stored response
    // head, if any, is a 2xx one. The local file is the body: it is what the platform stored, decoded.
    // Its entryKey is the record's offset in index.dat.
    std::optional<CacheEntry> entryOf(const IndexDatFile& file, const IndexDatUrlRecord& record) const;

    // The entry of `record` whatever it is (a partial response, an error page, one without a local file)
    // as a reference: url, sourceFolder and entryKey; std::nullopt for a cookie or a visited link, which
    // are no cached responses.
    std::optional<CacheEntry> referenceOf(const IndexDatUrlRecord& record) const;

    // Deletes the entry of exactly the record `entry` came from (its entryKey) and its local file, while
    // the record still holds the entry's URL and the file is the one walked (same stamp, where the entry
    // has one).
    UrlCache::RemoveOutcome removeEntry(const CacheEntry& entry) const;

    // Text of the bytes the platform stores URLs and names in: UTF-8 when they are valid UTF-8, else
    // Latin-1, which keeps every byte, since the code page that wrote them is not known.
    static QString textOf(QByteArrayView bytes);

    // The byte strings that textOf() turns into `text`.
    static QByteArrayList storedFormsOf(const QString& text);

private:
    // The local file's path as bytes, its name as the record stores it; std::nullopt when the record's
    // folder is unknown or its name could lead out of that folder.
    std::optional<QByteArray> localPathOf(const IndexDatFile& file, const IndexDatUrlRecord& record) const;
    // The same for a record that names a local file; std::nullopt for one that names none.
    std::optional<QByteArray> localFileOf(const IndexDatFile& file, const IndexDatUrlRecord& record) const;

    QString path_;
    QString indexPath_;
};
