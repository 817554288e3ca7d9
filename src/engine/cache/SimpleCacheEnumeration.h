#pragma once

#include "engine/cache/BatchFileReader.h"
#include "engine/cache/CacheEnumeration.h"
#include "engine/cache/FolderHandle.h"
#include "engine/cache/SimpleCacheFolder.h"

#include <QDateTime>
#include <QHash>
#include <QStringList>
#include <memory>

// One walk over a simple-cache folder in file-name order, of its usable entries or of references to all. The list of
// entry files and the index's times are taken when the walk starts; entry files are read as the walk reaches them, a
// batch of them at a time, so an entry removed meanwhile is skipped and one written meanwhile is not seen.
class SimpleCacheEnumeration : public CacheEnumeration
{
public:
    explicit SimpleCacheEnumeration(const SimpleCacheFolder& folder, Offer offer = Offer::Usable);

    SimpleCacheEnumeration(const SimpleCacheEnumeration&) = delete;
    SimpleCacheEnumeration& operator=(const SimpleCacheEnumeration&) = delete;

    std::optional<CacheEntry> next() override;
    Progress progress() const override { return {nextIndex_, entryFileNames_.size()}; }

private:
    // The names of the batch of entry files from `index` on, as the read-ahead takes them.
    QStringList batchFrom(qsizetype index) const;
    // `fileNames` as the read-ahead takes them where the folder could not be held open: whole paths.
    QStringList pathsOf(const QStringList& fileNames) const;

    const SimpleCacheFolder folder_;
    const Offer offer_;
    const std::shared_ptr<const FolderHandle> openFolder_;
    const QStringList entryFileNames_;
    const QHash<quint64, QDateTime> lastUsedTimes_;
    qsizetype nextIndex_ = 0;
    // Entry files read ahead of the walk, a batch at a time: those from nextIndex_ on.
    BatchFileReader readAhead_;
    std::vector<BatchFileReader::File> readAheadFiles_;
    std::size_t nextReadAhead_ = 0;
};
