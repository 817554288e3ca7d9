#pragma once

#include "engine/cache/CacheEnumeration.h"
#include "engine/cache/FolderHandle.h"
#include "engine/cache/SimpleCacheFolder.h"

#include <QDateTime>
#include <QHash>
#include <QStringList>
#include <memory>

// One walk over a simple-cache folder in file-name order, of its usable entries or of references to all. The list of
// entry files and the index's times are taken when the walk starts; each entry file is read only when the walk reaches
// it, so an entry removed meanwhile is skipped and one written meanwhile is not seen.
class SimpleCacheEnumeration : public CacheEnumeration
{
public:
    explicit SimpleCacheEnumeration(const SimpleCacheFolder& folder, Offer offer = Offer::Usable);

    std::optional<CacheEntry> next() override;
    Progress progress() const override { return {nextIndex_, entryFileNames_.size()}; }

private:
    const SimpleCacheFolder folder_;
    const Offer offer_;
    const std::shared_ptr<const FolderHandle> openFolder_;
    const QStringList entryFileNames_;
    const QHash<quint64, QDateTime> lastUsedTimes_;
    qsizetype nextIndex_ = 0;
};
