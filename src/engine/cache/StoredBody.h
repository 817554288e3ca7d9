#pragma once

#include <QList>
#include <QString>
#include <optional>

// Where an entry's body lies inside the cache's own files, as the server sent it: one byte range of one
// file, or, for a resource the browser fetched in ranges and stored as they came, several pieces.
struct StoredBody
{
    // One contiguous byte range of one file.
    struct Piece
    {
        QString file;
        qint64 offset = 0;
        qint64 length = 0;
    };

    QString file;            // full path of the cache file holding the body (its first piece)
    qint64 offset = 0;       // first byte of the body (of its first piece) in that file
    qint64 length = 0;       // stored (still encoded) length in bytes, all pieces together
    QString contentEncoding; // the response's Content-Encoding, lower case; empty for identity
    // The CRC-32 the cache recorded for the stored bytes, where it keeps one: checked when the body is
    // read, so a damaged body is never extracted as if it were whole.
    std::optional<quint32> storedCrc32;
    // A body in several pieces: these, in the order they make up the body (file, offset and length above
    // then describe the first piece and the whole). Empty for a body in one range.
    QList<Piece> pieces;

    // The ranges to read one after another to have the body.
    QList<Piece> allPieces() const { return pieces.isEmpty() ? QList<Piece>{Piece{file, offset, length}} : pieces; }
};
