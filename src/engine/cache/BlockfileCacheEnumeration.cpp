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
    while (const std::optional<BlockfileEntryWalk::Step> step = walk_->next()) {
        if (std::optional<CacheEntry> entry = folder_.readEntry(files_, *index_, step->address, step->record))
            return entry;
    }
    return std::nullopt;
}
