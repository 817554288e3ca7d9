#pragma once

#include "engine/cache/CacheEnumeration.h"
#include "engine/cache/IndexDatFolder.h"

#include <QSet>
#include <memory>

class IndexDatFile;

// One walk over an index.dat cache in the platform's own order: hash table by hash table, slot by slot;
// of its usable entries or of references to all.
// It walks the snapshot of index.dat it was given, so entries deleted meanwhile may still be offered
// (their local files are gone, so they cannot be read) and entries added meanwhile are not seen.
class IndexDatCacheEnumeration : public CacheEnumeration
{
public:
    IndexDatCacheEnumeration(const IndexDatFolder& folder, std::shared_ptr<const IndexDatFile> file,
                             Offer offer = Offer::Usable);

    std::optional<CacheEntry> next() override;
    // Hash-table slots passed of all the tables' slots.
    Progress progress() const override;

private:
    const IndexDatFolder folder_;
    const std::shared_ptr<const IndexDatFile> file_; // nullptr when index.dat could not be read
    const Offer offer_;
    qsizetype table_ = 0;
    qint64 slot_ = 0;
    QSet<quint32> recordsSeen_; // record offsets of the live slots passed
};
