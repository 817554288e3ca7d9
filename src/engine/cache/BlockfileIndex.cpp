#include "engine/cache/BlockfileIndex.h"

#include "engine/cache/FileDescriptor.h"
#include "engine/cache/LittleEndianReader.h"

#include <algorithm>
#include <cstring>

namespace
{

constexpr qint64 headerSize = 256;
constexpr qint64 tableOffset = headerSize + 112; // after the eviction lists
constexpr quint32 defaultTableLength = 0x10000;  // what a length of 0 stands for
// The browsers size the table by the cache's maximum size, 2^19 buckets for the largest seen; a larger
// value only makes a damaged file cost memory.
constexpr quint32 maxTableLength = 1u << 22;

bool isPowerOfTwo(quint32 value)
{
    return value != 0 && (value & (value - 1)) == 0;
}

} // namespace

bool BlockfileIndex::hasKnownHeader(QByteArrayView header)
{
    const LittleEndianReader reader(header);
    const std::optional<quint32> version = reader.u32(4);
    // 2.0 and 2.1 differ from 3.0 only in header fields this reader does not use.
    return reader.u32(0) == magic && version && (*version >> 16 == 2 || *version >> 16 == 3);
}

std::optional<BlockfileIndex> BlockfileIndex::read(const QString& path)
{
    struct stat status;
    const FileDescriptor file = FileDescriptor::openRegular(path, status);
    if (!file.isOpen())
        return std::nullopt;
    QByteArray header(headerSize, Qt::Uninitialized);
    header.truncate(FileDescriptor::readAt(file.get(), header.data(), headerSize, 0));
    const LittleEndianReader reader(header);
    const std::optional<quint32> declaredLength = reader.u32(28);
    if (!hasKnownHeader(header) || !declaredLength)
        return std::nullopt;
    const quint32 tableLength = *declaredLength == 0 ? defaultTableLength : *declaredLength;
    if (!isPowerOfTwo(tableLength) || tableLength > maxTableLength)
        return std::nullopt;
    const qint64 tableBytes = qint64(tableLength) * 4;
    if (status.st_size < tableOffset + tableBytes)
        return std::nullopt;
    QByteArray table(tableBytes, Qt::Uninitialized);
    if (FileDescriptor::readAt(file.get(), table.data(), tableBytes, tableOffset) != tableBytes)
        return std::nullopt;
    // A signed count in the header; a negative one is damage and counts as none.
    const qint32 declaredEntries = qint32(reader.u32(8).value_or(0));
    return BlockfileIndex(std::move(table), tableLength, quint32(std::max(declaredEntries, 0)));
}

quint32 BlockfileIndex::nextOccupiedBucket(quint32 bucket) const
{
    const char* const table = table_.constData();
    while (bucket + 1 < tableLength_) {
        quint64 pair;
        std::memcpy(&pair, table + qsizetype(bucket) * 4, sizeof pair);
        if (pair != 0)
            break;
        bucket += 2;
    }
    while (bucket < tableLength_ && !bucketHead(bucket).isInitialized())
        ++bucket;
    return std::min(bucket, tableLength_);
}
