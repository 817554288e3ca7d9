#pragma once

#include "engine/cache/CacheEnumeration.h"

#include <QStringList>
#include <memory>

class FirefoxCacheFolder;

// A walk over the entry files a cache2 folder had when the walk began, in sorted file-name order, of
// their usable entries or of references to all. Files that vanish or are not usable (for a walk of
// references: not readable) by the time the walk reaches them are passed over.
class FirefoxCacheEnumeration : public CacheEnumeration
{
public:
    FirefoxCacheEnumeration(std::shared_ptr<const FirefoxCacheFolder> folder, QStringList entryFileNames,
                            Offer offer = Offer::Usable);

    std::optional<CacheEntry> next() override;
    Progress progress() const override { return {position_, entryFileNames_.size()}; }

private:
    std::shared_ptr<const FirefoxCacheFolder> folder_; // shared, so that a walk may outlive its cache object
    QStringList entryFileNames_;
    const Offer offer_;
    qsizetype position_ = 0;
};
