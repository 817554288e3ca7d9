#pragma once

#include "engine/cache/BlockfileAddress.h"

#include <QByteArray>
#include <QString>
#include <QtEndian>
#include <optional>

// The "index" file of a Chromium blockfile cache: a 256-byte header, 112 bytes of eviction lists, then the
// hash table, one entry address per bucket heading that bucket's chain. An entry with key hash h sits in
// the chain of bucket h & (tableLength - 1). The header's crash flag and dirty marker are not used: a
// reader judges each entry by its own rankings node, which the browser marks while the entry is open.
class BlockfileIndex
{
public:
    static constexpr quint32 magic = 0xC103CAC3u;

    // The header and table of the index file at `path`; std::nullopt when it is missing, is not a blockfile
    // index of version 2 or 3, declares a table that is not a power of two long, or is too short for it.
    static std::optional<BlockfileIndex> read(const QString& path);

    // True when `header` (the file's first bytes) starts like an index of a version this reader knows.
    static bool hasKnownHeader(QByteArrayView header);

    quint32 tableLength() const { return tableLength_; }
    // The number of entries the header says the cache holds; only as current as the browser's last
    // write of the header.
    quint32 declaredEntryCount() const { return declaredEntryCount_; }
    quint32 bucketOf(quint32 keyHash) const { return keyHash & (tableLength_ - 1); }

    // The address heading the chain of `bucket`; not initialized for an empty bucket or one beyond the table.
    BlockfileAddress bucketHead(quint32 bucket) const
    {
        if (bucket >= tableLength_)
            return BlockfileAddress();
        return BlockfileAddress(qFromLittleEndian<quint32>(table_.constData() + qsizetype(bucket) * 4));
    }

    // The first bucket from `bucket` on whose chain is not empty; tableLength() when there is none.
    // Most buckets are empty, so they are skipped eight bytes at a time.
    quint32 nextOccupiedBucket(quint32 bucket) const;

private:
    BlockfileIndex(QByteArray table, quint32 tableLength, quint32 declaredEntryCount)
        : table_(std::move(table)), tableLength_(tableLength), declaredEntryCount_(declaredEntryCount)
    {}

    // Kept as stored and decoded bucket by bucket: most buckets of a table are empty and are looked at once.
    QByteArray table_;
    quint32 tableLength_;
    quint32 declaredEntryCount_;
};
