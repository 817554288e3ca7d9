#pragma once

#include "engine/cache/BlockfileAddress.h"
#include "engine/cache/CacheEntry.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <optional>

class BlockfileDataFiles;
class BlockfileEntry;
class BlockfileIndex;

// A Chromium blockfile cache folder ("index", data_0 to data_<n>, f_<n>) read in place: what an entry
// record amounts to. Holds only its path; the files themselves are read through a BlockfileDataFiles each
// caller brings, so one instance serves several threads at once.
class BlockfileCacheFolder
{
public:
    explicit BlockfileCacheFolder(const QString& folder);

    const QString& path() const { return path_; }

    // True for a folder holding data_0 and an index file that starts like a blockfile index.
    static bool recognises(const QString& folder);

    std::optional<BlockfileIndex> readIndex() const;

    // An entry's CacheEntry::entryKey: its record's address as 8 lower-case hex digits; and back.
    static QString keyOf(BlockfileAddress address);
    static std::optional<BlockfileAddress> addressOf(const QString& entryKey);

    // The record's key, wherever it is stored, if it matches the record's key hash.
    static std::optional<QByteArray> keyOf(BlockfileDataFiles& files, const BlockfileEntry& record);

    // When the browser last used the entry, from its rankings node; std::nullopt when the node cannot be
    // read, does not link back to `address`, or is marked dirty (the entry is open, or was when the
    // browser crashed).
    static std::optional<QDateTime> lastUsed(BlockfileDataFiles& files, BlockfileAddress address,
                                             const BlockfileEntry& record);

    // The entry of the record at `address` if it is a whole 2xx HTTP response with its body; std::nullopt
    // for anything else (evicted or doomed, damaged, not HTTP, an error or a redirect, truncated, a
    // range-fetched resource that is not whole in one piece). `index` finds the child entries of a
    // range-fetched resource.
    // Starts fetching what readEntry will read of `record` (its long key, rankings node, response head and
    // the ends of its body) into the processor's caches; see BlockfileDataFiles::prefetch.
    static void prefetchEntry(BlockfileDataFiles& files, const BlockfileEntry& record);

    std::optional<CacheEntry> readEntry(BlockfileDataFiles& files, const BlockfileIndex& index,
                                        BlockfileAddress address, const BlockfileEntry& record) const;

    // The entry of the record at `address` whatever its response, as a reference: url, sourceFolder and
    // entryKey. std::nullopt for a record that is evicted or doomed, a range child (part of another
    // entry), or whose key cannot be read or is not an HTTP cache key.
    std::optional<CacheEntry> referenceOf(BlockfileDataFiles& files, BlockfileAddress address,
                                          const BlockfileEntry& record) const;

private:
    std::optional<StoredBody> sparseBody(BlockfileDataFiles& files, const BlockfileIndex& index,
                                         const BlockfileEntry& parent, const QByteArray& parentKey,
                                         const QString& contentRange) const;

    QString path_;
};
