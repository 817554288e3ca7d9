#pragma once

#include "engine/cache/CacheEnumeration.h"
#include "engine/cache/WebKitRecord.h"

#include <QStringList>
#include <array>
#include <memory>

class FolderHandle;
class WebKitCacheFolder;

// A walk over the records a WebKit cache folder had when the walk began, in sorted name order, of their
// usable entries or of references to all. Records that vanish or are refused by the time the walk reaches
// them are passed over, and counted by the reason they were refused.
class WebKitCacheEnumeration : public CacheEnumeration
{
public:
    WebKitCacheEnumeration(std::shared_ptr<const WebKitCacheFolder> folder, QStringList recordNames,
                           Offer offer = Offer::Usable);

    std::optional<CacheEntry> next() override;
    Progress progress() const override { return {position_, recordNames_.size()}; }

    // How many records the walk has passed over so far for `refusal`.
    qint64 refused(WebKitRecord::Refusal refusal) const { return refusals_[std::size_t(refusal)]; }

private:
    std::shared_ptr<const WebKitCacheFolder> folder_; // shared, so that a walk may outlive its cache object
    const QStringList recordNames_;
    const Offer offer_;
    qsizetype position_ = 0;
    // The folder of the partition the walk is in, open (records are listed partition by partition).
    QString openPartition_;
    std::shared_ptr<const FolderHandle> openFolder_;
    std::array<qint64, WebKitRecord::kRefusalKinds> refusals_{};
};
