#pragma once

#include "engine/cache/ByteSink.h"
#include "engine/cache/CacheEntry.h"
#include "engine/cache/EntryBody.h"
#include "engine/cache/UrlCache.h"

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

    // Does with each entry a walk of `cache` offers what the program does: looks its URL up, streams its
    // body, asks whether it is current and deletes it.
    static void useEveryEntry(UrlCache& cache)
    {
        const std::unique_ptr<CacheEnumeration> walk = cache.enumerate();
        while (const std::optional<CacheEntry> entry = walk->next()) {
            (void)cache.lookup(entry->url);
            decodeBody(*entry);
            (void)cache.isCurrent(*entry);
            cache.removeEntry(*entry);
        }
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
