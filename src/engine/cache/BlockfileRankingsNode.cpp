#include "engine/cache/BlockfileRankingsNode.h"

#include "engine/cache/LittleEndianReader.h"
#include "engine/cache/SuperFastHash.h"

namespace
{

constexpr qint64 checksummedLength = 32;

} // namespace

std::optional<BlockfileRankingsNode> BlockfileRankingsNode::parse(QByteArrayView node)
{
    const LittleEndianReader reader(node);
    if (reader.size() < size)
        return std::nullopt;
    const quint32 selfHash = *reader.u32(checksummedLength);
    if (selfHash != 0 && selfHash != SuperFastHash::of(node.first(checksummedLength)))
        return std::nullopt;
    BlockfileRankingsNode parsed;
    parsed.lastUsed_ = *reader.i64(0);
    parsed.entry_ = BlockfileAddress(*reader.u32(24));
    parsed.dirty_ = *reader.u32(28);
    return parsed;
}
