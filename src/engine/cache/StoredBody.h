#pragma once

#include <QString>

// Where an entry's body lies inside the cache's own files, as the server sent it.
// Every cache format this program reads keeps a body as one contiguous byte range of one file.
struct StoredBody
{
    QString file;            // full path of the cache file holding the body
    qint64 offset = 0;       // first byte of the body in that file
    qint64 length = 0;       // stored (still encoded) length in bytes
    QString contentEncoding; // the response's Content-Encoding, lower case; empty for identity
};
