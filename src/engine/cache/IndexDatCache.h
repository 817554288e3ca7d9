#pragma once

#include "engine/cache/IndexDatFolder.h"
#include "engine/cache/UrlCache.h"

#include <QString>
#include <memory>
#include <mutex>

class IndexDatFile;

// The legacy Windows URL cache (the Temporary Internet Files of Windows systems and Wine prefixes):
// index.dat and the cache folders beside it, read in place. Every entry already has its body in a plain
// local file, whose name is the entry's localName.
//
// index.dat is read whole (it is at most about 16 MB) and the copy kept for lookups until the file
// changes. Walks follow the hash tables in slot order; lookups go through the file's own URL hash.
// Deleting edits index.dat in place (see IndexDatFolder), which is safe only while the system that owns
// the cache is not running.
class IndexDatCache : public UrlCache
{
public:
    // `folder` holds index.dat (for example .../INetCache/Content.IE5).
    explicit IndexDatCache(const QString& folder);
    ~IndexDatCache() override;

    // True when `folder` holds an index.dat of a version this reads, for the cache detector.
    static bool recognises(const QString& folder);

    std::unique_ptr<CacheEnumeration> enumerate() override;
    std::unique_ptr<CacheEnumeration> enumerateAll() override;
    std::optional<CacheEntry> lookup(const QString& url) override;
    RemoveOutcome removeEntry(const CacheEntry& entry) override;
    bool isCurrent(const CacheEntry& entry) override;
    bool ownsFolder(const QString& folder) const override;

private:
    // index.dat as it is now, read again only when it has changed. Called with mutex_ held.
    std::shared_ptr<const IndexDatFile> currentIndexLocked();

    const IndexDatFolder folder_;
    std::mutex mutex_;
    std::shared_ptr<const IndexDatFile> index_;
    IndexDatFolder::Version indexVersion_;
};
