#include "engine/cache/BlockfileEntry.h"

#include "engine/cache/LittleEndianReader.h"
#include "engine/cache/SuperFastHash.h"

namespace
{

constexpr qint64 checksummedLength = 92; // the checksum at 92 covers the fields before it
constexpr qint64 inlineKeyOffset = 96;

} // namespace

std::optional<BlockfileEntry> BlockfileEntry::parse(QByteArrayView record)
{
    const LittleEndianReader reader(record);
    if (reader.size() < inlineKeyOffset)
        return std::nullopt;
    // Browsers before the checksum was added leave it 0.
    const quint32 selfHash = *reader.u32(checksummedLength);
    if (selfHash != 0 && selfHash != SuperFastHash::of(record.first(checksummedLength)))
        return std::nullopt;

    BlockfileEntry entry;
    entry.keyHash_ = *reader.u32(0);
    entry.next_ = BlockfileAddress(*reader.u32(4));
    entry.rankingsNode_ = BlockfileAddress(*reader.u32(8));
    entry.state_ = *reader.u32(20);
    entry.creationTime_ = *reader.i64(24);
    entry.keyLength_ = qint32(*reader.u32(32));
    entry.longKey_ = BlockfileAddress(*reader.u32(36));
    for (int stream = 0; stream < streamCount; ++stream) {
        entry.streamSizes_[size_t(stream)] = qint32(*reader.u32(40 + 4 * stream));
        entry.streamAddresses_[size_t(stream)] = BlockfileAddress(*reader.u32(56 + 4 * stream));
    }
    entry.flags_ = *reader.u32(72);
    if (entry.longKey_.value() == 0) {
        if (const std::optional<QByteArrayView> key = reader.bytes(inlineKeyOffset, entry.keyLength_))
            entry.inlineKey_ = key->toByteArray();
    }
    return entry;
}
