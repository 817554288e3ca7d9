#pragma once

#include "engine/cache/BlockfileCacheFolder.h"
#include "engine/cache/BlockfileDataFiles.h"
#include "engine/cache/BlockfileEntryWalk.h"
#include "engine/cache/BlockfileIndex.h"
#include "engine/cache/CacheEnumeration.h"

#include <optional>

// One walk over a blockfile cache in hash-table order, of its usable entries or of references to all. The table is read
// when the walk starts; each entry record is read only when the walk reaches it, so an entry the browser evicts
// meanwhile is skipped and one it adds to a bucket not reached yet is seen. Keeps its own handles on the cache's files.
class BlockfileCacheEnumeration : public CacheEnumeration
{
public:
    explicit BlockfileCacheEnumeration(const BlockfileCacheFolder& folder, Offer offer = Offer::Usable);

    BlockfileCacheEnumeration(const BlockfileCacheEnumeration&) = delete;
    BlockfileCacheEnumeration& operator=(const BlockfileCacheEnumeration&) = delete;

    std::optional<CacheEntry> next() override;
    // Records passed of the entry count the index's header declares.
    Progress progress() const override;

private:
    const BlockfileCacheFolder folder_;
    const Offer offer_;
    BlockfileDataFiles files_;
    const std::optional<BlockfileIndex> index_;
    std::optional<BlockfileEntryWalk> walk_; // refers to files_ and index_; empty without a usable index
    // Read one step ahead, so that what the next entry will need is fetched while this one is handled.
    std::optional<BlockfileEntryWalk::Step> ahead_;
    qint64 recordsPassed_ = 0;
};
