#include "engine/cache/BlockfileCacheEnumeration.h"

BlockfileCacheEnumeration::BlockfileCacheEnumeration(const BlockfileCacheFolder& folder, Offer offer)
    : folder_(folder), offer_(offer), files_(folder.path(), BlockfileDataFiles::Access::Walk),
      index_(folder.readIndex())
{
    if (index_)
        walk_.emplace(*index_, files_);
}

std::optional<CacheEntry> BlockfileCacheEnumeration::next()
{
    if (!walk_)
        return std::nullopt;
    if (!ahead_)
        ahead_ = walk_->next();
    while (ahead_) {
        const BlockfileEntryWalk::Step step = std::move(*ahead_);
        ++recordsPassed_;
        // The walk goes one record ahead, and what that record points to starts coming in from memory
        // while this one is handled: in hash order every entry's bytes lie far from the last one's.
        ahead_ = walk_->next();
        if (ahead_)
            folder_.prefetchEntry(files_, ahead_->record);
        walk_->prefetchNext();
        std::optional<CacheEntry> entry = offer_ == Offer::Usable
                                              ? folder_.readEntry(files_, *index_, step.address, step.record)
                                              : folder_.referenceOf(files_, step.address, step.record);
        if (entry)
            return entry;
    }
    return std::nullopt;
}

CacheEnumeration::Progress BlockfileCacheEnumeration::progress() const
{
    if (!index_)
        return {};
    return {recordsPassed_, std::max<qint64>(index_->declaredEntryCount(), recordsPassed_)};
}
