#include "engine/cache/WebKitCacheEnumeration.h"

#include "engine/cache/WebKitCacheFolder.h"

WebKitCacheEnumeration::WebKitCacheEnumeration(std::shared_ptr<const WebKitCacheFolder> folder, QStringList recordNames,
                                               Offer offer)
    : folder_(std::move(folder)), recordNames_(std::move(recordNames)), offer_(offer)
{}

std::optional<CacheEntry> WebKitCacheEnumeration::next()
{
    while (position_ < recordNames_.size()) {
        const QString& name = recordNames_[position_++];
        WebKitCacheFolder::Read read = offer_ == Offer::Usable ? folder_->readEntry(name) : folder_->referenceOf(name);
        if (read.entry)
            return std::move(read.entry);
        ++refusals_[std::size_t(read.refusal)];
    }
    return std::nullopt;
}
