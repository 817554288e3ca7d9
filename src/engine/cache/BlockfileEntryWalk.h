#pragma once

#include "engine/cache/BlockfileAddress.h"
#include "engine/cache/BlockfileEntry.h"

#include <QSet>
#include <optional>

class BlockfileDataFiles;
class BlockfileIndex;

// The entry records of a blockfile cache in hash-table order: bucket after bucket, each bucket's chain from
// its head along the records' "next" links. A chain ends at the first link that names no readable record,
// a record whose key hash belongs to another bucket, or a record already met in the chain, so that damaged
// or half-written links can neither loop nor pull in another bucket's entries twice.
class BlockfileEntryWalk
{
public:
    struct Step
    {
        BlockfileAddress address;
        BlockfileEntry record;
    };

    // Walks the table of `index` (whole) or only the chain of `bucket`. Both must outlive the walk.
    BlockfileEntryWalk(const BlockfileIndex& index, BlockfileDataFiles& files);
    BlockfileEntryWalk(const BlockfileIndex& index, BlockfileDataFiles& files, quint32 bucket);

    // The next record, whatever its state; std::nullopt after the last.
    std::optional<Step> next();

    // Starts fetching the record next() will read into the processor's caches (see
    // BlockfileDataFiles::prefetch), so that it arrives while the caller handles the last one.
    void prefetchNext();

    // The record at `address` if it is an entry record that can be read and passes its own checksum.
    static std::optional<BlockfileEntry> readRecord(BlockfileDataFiles& files, BlockfileAddress address);

private:
    const BlockfileIndex& index_;
    BlockfileDataFiles& files_;
    quint32 nextBucket_ = 0;
    quint32 endBucket_ = 0;
    quint32 chainBucket_ = 0;
    BlockfileAddress chainNext_; // not initialized when the current chain has ended
    QSet<quint32> chainVisited_;
};
