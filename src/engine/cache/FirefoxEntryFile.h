#pragma once

#include "engine/cache/StoredBody.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QPair>
#include <QString>
#include <optional>

// One file of a Firefox cache2 `entries/` folder, as far as its own layout goes:
//
//   [ data: body, then optional alternative data ][ metadata block ][ trailer ]
//
// The trailer locates the metadata block; the block holds a hash of itself, one hash per 256 KiB chunk of
// data, a header (times, key size), the cache key and `name NUL value NUL` elements. All integers are
// big-endian. What the key and the elements mean (URL, HTTP status) is left to the caller.
class FirefoxEntryFile
{
public:
    // Reads the metadata of the entry file at `path`. std::nullopt when the file is missing, still being
    // written (its trailer is not there yet), encrypted, of an unknown version, or fails any bounds or hash
    // check. The trailer and the block it points at always come from one read, because the browser may
    // rewrite the block at a new offset when it appends alternative data.
    static std::optional<FirefoxEntryFile> read(const QString& path);

    // Bob Jenkins' lookup2 hash with initial value 0, which the browser keeps over the metadata block.
    static quint32 hash(QByteArrayView bytes);

    // The cache key with its tags, e.g. "O^partitionKey=%28http%2Clocalhost%29,a,:http://host/x.gif".
    const QByteArray& key() const { return key_; }

    quint32 fetchCount() const { return fetchCount_; }
    quint32 lastFetched() const { return lastFetched_; } // seconds since 1970 UTC: when the entry was last used

    // The value of the first element called `name`; std::nullopt when there is none.
    std::optional<QByteArray> element(QByteArrayView name) const;

    // The resource occupies [0, bodyLength()) of the file; when the browser appended alternative data
    // (compiled script), that follows the body up to dataSize() and is not part of the resource.
    qint64 dataSize() const { return dataSize_; }
    qint64 bodyLength() const { return bodyLength_; }

    // Bytes [offset, offset + length) of the body: from the bytes already read when they cover the range,
    // otherwise from the file, provided it still has the size it had. std::nullopt outside the body or when
    // the file changed or vanished.
    std::optional<QByteArray> readBody(qint64 offset, qint64 length) const;
    // The whole body where it was read with the rest of a small file; empty otherwise.
    QByteArray bodyIfRead() const { return snapshotOffset_ == 0 ? snapshot_.first(bodyLength_) : QByteArray(); }

    // The file as it was read.
    StoredBody::FileStamp stamp() const { return stamp_; }

private:
    FirefoxEntryFile() = default;

    struct Trailer
    {
        qint64 dataSize = 0;
        qint64 length = 0;   // bytes the trailer itself takes at the end of the file
        quint32 version = 0; // the entry version the trailer names; 0 for the older layout that names none
    };

    static std::optional<Trailer> parseTrailer(QByteArrayView fileEnd, qint64 fileSize);
    bool parseMetadata(QByteArrayView block, const Trailer& trailer);
    bool parseElements(QByteArrayView area);
    bool applyAltData();

    QString path_;
    qint64 fileSize_ = 0;
    StoredBody::FileStamp stamp_;
    QByteArray snapshot_;       // the last bytes of the file, as read, holding at least the metadata block
    QByteArray head_;           // the first bytes of the file when snapshot_ does not start there
    qint64 snapshotOffset_ = 0; // where snapshot_ starts in the file
    QByteArray key_;
    quint32 fetchCount_ = 0;
    quint32 lastFetched_ = 0;
    QList<QPair<QByteArray, QByteArray>> elements_;
    qint64 dataSize_ = 0;
    qint64 bodyLength_ = 0;
};
