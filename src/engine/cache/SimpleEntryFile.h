#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>
#include <QList>
#include <QString>

#include "engine/cache/StoredBody.h"
#include <fcntl.h>
#include <optional>

class HeadTailFileReader;

// One "<16 hex>_0" file of a Chromium simple cache: a 24-byte header and the key, stream 1 (the body as
// the server sent it) with its end record, stream 0 (the response info), an optional SHA-256 of the key
// and the end record of stream 0. Everything that can be checked is checked: magic numbers, version,
// lengths, key hash, key digest, CRCs, and that the file's name is the hash of its key. A file still being
// written has no final end record yet and is refused like a damaged one.
class SimpleEntryFile
{
public:
    // The whole entry, or std::nullopt when the file is not a complete, intact entry. `path` is absolute,
    // or relative to the open folder `folderFd`.
    static std::optional<SimpleEntryFile> read(const QString& path, int folderFd = AT_FDCWD);
    // The same from a file read whole already, `status` taken from the open file.
    static std::optional<SimpleEntryFile> fromWholeFile(const struct stat& status, QByteArray bytes,
                                                        const QString& path);

    // Only the key, after checking the header: enough to index entries by URL or to confirm, right before
    // deleting, which entry a file holds.
    static std::optional<QByteArray> readKey(const QString& path, int folderFd = AT_FDCWD);

    // The entry hash a key gets in a file name: the first 8 bytes of its SHA-1, little-endian.
    static quint64 entryHashOf(QByteArrayView key);

    QByteArrayView key() const { return key_; }
    qint64 bodyOffset() const { return bodyOffset_; }
    qint64 bodyLength() const { return bodyLength_; }
    // The CRC-32 of the body the browser recorded, unchecked; std::nullopt when it recorded none.
    std::optional<quint32> bodyCrc32() const { return bodyCrc32_; }
    // The first bytes of the body: all of it when the file was small enough to be read whole, else 64.
    QByteArrayView bodyHead() const { return bodyHead_; }
    // The whole body, where it was read with the rest of a small file and so checked against its CRC.
    std::optional<QByteArrayView> checkedBody() const
    {
        return bodyChecked_ ? std::optional<QByteArrayView>(bodyHead_) : std::nullopt;
    }
    QByteArrayView bodyTail() const { return bodyTail_; }         // the last bytes of the body (at most 64)
    QByteArrayView responseInfo() const { return responseInfo_; } // stream 0
    QDateTime modified() const { return modified_; }              // the file's mtime, UTC
    StoredBody::FileStamp stamp() const { return stamp_; }        // the file as it was read

private:
    static std::optional<SimpleEntryFile> parse(HeadTailFileReader& file, const QString& path);

    // What the file's reader read, kept whole and never changed, so that the views below (into these
    // buffers' data) stay valid however the entry is copied or moved.
    QList<QByteArray> buffers_;
    QByteArrayView key_;
    qint64 bodyOffset_ = 0;
    qint64 bodyLength_ = 0;
    std::optional<quint32> bodyCrc32_;
    QByteArrayView bodyHead_;
    QByteArrayView bodyTail_;
    bool bodyChecked_ = false;
    QByteArrayView responseInfo_;
    QDateTime modified_;
    StoredBody::FileStamp stamp_;
};
