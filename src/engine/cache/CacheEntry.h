#pragma once

#include "engine/cache/StoredBody.h"

#include <QDateTime>
#include <QString>

// One usable entry of a browser cache: a whole 2xx response with its body.
struct CacheEntry
{
    QString url;          // the address the browser fetched, with the cache's key prefixes stripped
    QString localFile;    // full path of the plain file that holds (or will hold) the decoded body
    qint64 size = 0;      // bytes of the decoded body, which is what localFile holds
    QDateTime lastAccess; // when the browser last used the entry, UTC
    QString contentType;  // the response's Content-Type, as sent; may be empty
    QString sourceFolder; // the cache folder the entry belongs to
    StoredBody body;      // where the encoded body lies in the cache's files

    // Caches do not keep one plain file per entry, so localFile is written only when someone needs
    // its contents. Safe to call from several threads; a second call finds the file already there.
    // Returns false when the body cannot be read; the file is then not created.
    bool materialize() const;
};
