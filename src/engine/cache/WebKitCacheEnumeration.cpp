#include "engine/cache/WebKitCacheEnumeration.h"

#include "engine/cache/FolderHandle.h"
#include "engine/cache/WebKitCacheFolder.h"

WebKitCacheEnumeration::WebKitCacheEnumeration(std::shared_ptr<const WebKitCacheFolder> folder, QStringList recordNames,
                                               Offer offer)
    : folder_(std::move(folder)), recordNames_(std::move(recordNames)), offer_(offer)
{}

std::optional<CacheEntry> WebKitCacheEnumeration::next()
{
    while (position_ < recordNames_.size()) {
        const QString& name = recordNames_[position_++];
        if (const QString partition = WebKitCacheFolder::partitionOf(name); partition != openPartition_) {
            openFolder_ = folder_->openFolderOf(name);
            openPartition_ = partition;
        }
        WebKitCacheFolder::Read read = offer_ == Offer::Usable ? folder_->readEntry(name, openFolder_)
                                                               : folder_->referenceOf(name, openFolder_.get());
        if (read.entry)
            return std::move(read.entry);
        ++refusals_[std::size_t(read.refusal)];
    }
    return std::nullopt;
}
