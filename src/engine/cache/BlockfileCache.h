#pragma once

#include "engine/cache/BlockfileAddress.h"
#include "engine/cache/BlockfileCacheFolder.h"
#include "engine/cache/UrlCache.h"
#include "engine/cache/UrlIndex.h"

#include <memory>
#include <mutex>
#include <optional>

class BlockfileIndex;

// The HTTP cache of a Chromium-family browser in its "blockfile" format (Chrome and Edge on Windows, old
// macOS profiles), read in place. Walks go through the index's hash table, bucket by bucket. Lookups use a
// map from URL to entry records built on the first lookup, since keys carry the top-level site as well as
// the URL and the site of a URL asked for is not known; entries the browser writes after the map was built
// are found by walks but not by lookups until forgetFolder.
//
// Read-only: remove() deliberately does nothing, and removeEntry() answers ReadOnly, for references from
// enumerateAll() too. Taking an entry out means
// unlinking it from its bucket's chain and from the eviction lists (whose heads are in the index), freeing its blocks
// in the allocation bitmaps and fixing the counters, while the browser keeps all these files memory-mapped with its own
// state in memory; an outside edit cannot be made safely under a running browser, and a half-made one
// would damage the cache. remove() has no way to report that; removeEntry() does, and the clean-up says so.
class BlockfileCache : public UrlCache
{
public:
    // `folder` holds index, data_0 to data_<n> and f_<n> (for example a copied "Cache_Data").
    explicit BlockfileCache(const QString& folder);
    ~BlockfileCache() override;

    // True for a folder holding data_0 and an index file that starts like a blockfile index.
    static bool recognises(const QString& folder);

    std::unique_ptr<CacheEnumeration> enumerate() override;
    std::unique_ptr<CacheEnumeration> enumerateAll() override;
    std::optional<CacheEntry> lookup(const QString& url) override;
    std::optional<CacheEntry> lookupUnlessStopped(const QString& url, const std::atomic<bool>& stop) override;
    RemoveOutcome removeEntry(const CacheEntry& entry) override;
    void forgetFolder(const QString& folder) override;
    // Reads the record at the entry's address again: true while it is an entry of the same URL whose
    // body lies where it did, with the same length. The browser reuses the blocks of entries it evicts.
    bool isCurrent(const CacheEntry& entry) override;
    bool ownsFolder(const QString& folder) const override;

private:
    // Builds the URL map if it is not there yet; false when `stop` was set first. Called with mutex_ held.
    bool ensureUrlIndex(const std::atomic<bool>& stop);
    // The hash table read once, for what needs it without the URL map. Called with mutex_ held.
    std::shared_ptr<const BlockfileIndex> tableLocked();

    const BlockfileCacheFolder folder_;
    std::mutex mutex_;
    // The hash table as it was when the map was built; lookups need it to find a range-fetched resource's
    // child entries, and checking the records it leads to is cheaper than reading it afresh.
    std::shared_ptr<const BlockfileIndex> index_;
    UrlIndex<BlockfileAddress> entriesByUrl_;
};
