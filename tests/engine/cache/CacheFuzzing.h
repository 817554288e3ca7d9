#pragma once

#include "engine/cache/CacheEntry.h"
#include "engine/cache/ContentDecoder.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include <cstdlib>

// What the cache readers' fuzz targets share: writing the cache files an input stands for, and checking
// the entries a reader offers.
class CacheFuzzing
{
public:
    static void writeFile(const QString& path, const QByteArray& bytes)
    {
        QFile file(path);
        if (file.open(QIODevice::WriteOnly))
            file.write(bytes);
    }

    // What CacheEntry::materialize() does short of writing the file (it syncs each file to disk, which slows
    // the fuzzer tenfold), with a stricter check: the reader must never offer a body outside its file.
    static void decodeBody(const CacheEntry& entry)
    {
        QFile file(entry.body.file);
        if (!file.open(QIODevice::ReadOnly))
            return;
        if (entry.body.offset < 0 || entry.body.length < 0 || entry.body.offset > file.size() ||
            entry.body.length > file.size() - entry.body.offset || entry.size < 0)
            abort();
        file.seek(entry.body.offset);
        ContentDecoder::decode(file.read(entry.body.length), entry.body.contentEncoding);
    }
};
