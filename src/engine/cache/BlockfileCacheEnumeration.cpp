#include "engine/cache/BlockfileCacheEnumeration.h"

BlockfileCacheEnumeration::BlockfileCacheEnumeration(const BlockfileCacheFolder& folder)
    : folder_(folder), files_(folder.path(), BlockfileDataFiles::Access::Walk), index_(folder.readIndex())
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
        // The walk goes one record ahead, and what that record points to starts coming in from memory
        // while this one is handled: in hash order every entry's bytes lie far from the last one's.
        ahead_ = walk_->next();
        if (ahead_)
            folder_.prefetchEntry(files_, ahead_->record);
        walk_->prefetchNext();
        if (std::optional<CacheEntry> entry = folder_.readEntry(files_, *index_, step.address, step.record))
            return entry;
    }
    return std::nullopt;
}
