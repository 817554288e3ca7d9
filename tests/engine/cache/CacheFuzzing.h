#pragma once

#include "engine/cache/ByteSink.h"
#include "engine/cache/CacheEntry.h"
#include "engine/cache/EntryBody.h"

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

    // Streams the body as a save would, into nothing, with a stricter check: the reader must never offer a
    // body outside its file (the files are not changed between the walk and this), nor a size it cannot have.
    static void decodeBody(const CacheEntry& entry)
    {
        QFile file(entry.body.file);
        if (!file.open(QIODevice::ReadOnly))
            return;
        if (entry.body.offset < 0 || entry.body.length < 0 || entry.body.offset > file.size() ||
            entry.body.length > file.size() - entry.body.offset ||
            (entry.size < 0 && entry.size != CacheEntry::kUnknownSize))
            abort();
        Discard discard;
        const EntryBody::Refusal refusal = EntryBody::stream(entry.body, discard, kFuzzDecodedCap);
        if (refusal == EntryBody::Refusal::Changed || refusal == EntryBody::Refusal::Vanished ||
            refusal == EntryBody::Refusal::NotRegular)
            abort();
    }

private:
    // Small enough that a bomb found by the fuzzer stays within its memory limit and time.
    static constexpr qint64 kFuzzDecodedCap = 64 * 1024 * 1024;

    class Discard final : public ByteSink
    {
    public:
        bool write(QByteArrayView) override { return true; }
    };
};
