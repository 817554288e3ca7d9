#include "engine/cache/BlockfileEntryWalk.h"

#include "engine/cache/BlockfileDataFiles.h"
#include "engine/cache/BlockfileIndex.h"

#include <algorithm>

BlockfileEntryWalk::BlockfileEntryWalk(const BlockfileIndex& index, BlockfileDataFiles& files)
    : index_(index), files_(files), endBucket_(index.tableLength())
{}

BlockfileEntryWalk::BlockfileEntryWalk(const BlockfileIndex& index, BlockfileDataFiles& files, quint32 bucket)
    : index_(index), files_(files), nextBucket_(bucket), endBucket_(bucket < index.tableLength() ? bucket + 1 : bucket)
{}

std::optional<BlockfileEntry> BlockfileEntryWalk::readRecord(BlockfileDataFiles& files, BlockfileAddress address)
{
    if (!address.isValid() || address.fileType() != BlockfileAddress::FileType::Block256)
        return std::nullopt;
    const std::optional<BlockfileDataFiles::Location> location = files.locate(address);
    if (!location)
        return std::nullopt;
    const std::optional<QByteArray> bytes = files.read(address, 0, location->capacity);
    return bytes ? BlockfileEntry::parse(*bytes) : std::nullopt;
}

void BlockfileEntryWalk::prefetchNext()
{
    BlockfileAddress upcoming = chainNext_;
    if (!upcoming.isInitialized()) {
        // Remembered, so that next() does not scan the empty buckets before it again.
        nextBucket_ = std::min(index_.nextOccupiedBucket(nextBucket_), endBucket_);
        upcoming = index_.bucketHead(nextBucket_);
    }
    if (upcoming.isInitialized() && upcoming.fileType() == BlockfileAddress::FileType::Block256)
        files_.prefetch(upcoming, 0, BlockfileEntry::blockSize);
}

std::optional<BlockfileEntryWalk::Step> BlockfileEntryWalk::next()
{
    for (;;) {
        while (!chainNext_.isInitialized()) {
            nextBucket_ = std::min(index_.nextOccupiedBucket(nextBucket_), endBucket_);
            if (nextBucket_ >= endBucket_)
                return std::nullopt;
            chainBucket_ = nextBucket_++;
            chainNext_ = index_.bucketHead(chainBucket_);
            // Most buckets are empty; only a chain that was walked leaves anything to forget.
            if (chainNext_.isInitialized() && !chainVisited_.isEmpty())
                chainVisited_.clear();
        }
        const BlockfileAddress address = chainNext_;
        chainNext_ = BlockfileAddress();
        if (chainVisited_.contains(address.value()))
            continue;
        chainVisited_.insert(address.value());
        std::optional<BlockfileEntry> record = readRecord(files_, address);
        if (!record || index_.bucketOf(record->keyHash()) != chainBucket_)
            continue;
        chainNext_ = record->next();
        return Step{address, std::move(*record)};
    }
}
