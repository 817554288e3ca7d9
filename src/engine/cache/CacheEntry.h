#pragma once

#include "engine/cache/StoredBody.h"

#include <QDateTime>
#include <QString>
#include <optional>

// One usable entry of a browser cache: a whole 2xx response with its body, as a walk or a lookup found
// it. Nothing is written out for it: its body is read from the cache's own files when someone needs it
// (EntryBody), and refused there if the cache has changed the entry since.
struct CacheEntry
{
    // The decoded size is not known without decoding (a compressed body whose format does not record
    // it); see knownSize.
    static constexpr qint64 kUnknownSize = -1;

    QString url; // the address the browser fetched, with the cache's key prefixes stripped
    // The file name the body goes by, in the habit of the old system cache: "logo[1].gif" (see
    // LocalFileName); for a cache that keeps each body as a plain file, that file's name. Decides the
    // file-type match and a saved resource's name.
    QString localName;
    qint64 size = kUnknownSize; // bytes of the decoded body where known without decoding
    QDateTime lastAccess;       // when the browser last used the entry, UTC
    QString contentType;        // the response's Content-Type, as sent; may be empty
    QString sourceFolder;       // the cache folder the entry belongs to
    // Which entry of that cache this is, stable while the cache keeps it: the entry file's name, the
    // blockfile address, the index.dat record. With sourceFolder, names exactly one entry.
    QString entryKey;
    StoredBody body; // where the encoded body lies in the cache's files

    // What a record of the exchange needs beyond the body. `responseHead` is the status line and header
    // lines as the cache keeps them (CR LF or NUL ends each line); empty where the cache keeps none, or keeps
    // headers that no longer describe the stored bytes (index.dat stores bodies decoded). Implicitly shared
    // with the buffer the walk parsed it from.
    QByteArray responseHead;
    QDateTime responseTime; // when the response headers arrived, UTC; invalid where the cache does not say
    QString serverAddress;  // the server's IP address the browser fetched from; empty where not kept

    // The decoded size: `size` when known, else counted by decoding into a scratch buffer (EntryBody::
    // decodedSize, capped). std::nullopt when the body cannot be read or passes the cap.
    std::optional<qint64> knownSize() const;
};
