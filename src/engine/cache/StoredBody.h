#pragma once

#include <QString>
#include <optional>

// Where an entry's body lies inside the cache's own files, as the server sent it.
// Every cache format this program reads keeps a body as one contiguous byte range of one file.
struct StoredBody
{
    QString file;            // full path of the cache file holding the body
    qint64 offset = 0;       // first byte of the body in that file
    qint64 length = 0;       // stored (still encoded) length in bytes
    QString contentEncoding; // the response's Content-Encoding, lower case; empty for identity
    // The CRC-32 the cache recorded for the stored bytes, where it keeps one: checked when the body is
    // read, so a damaged body is never extracted as if it were whole.
    std::optional<quint32> storedCrc32;
};
