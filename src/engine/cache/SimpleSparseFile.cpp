#include "engine/cache/SimpleSparseFile.h"

#include "engine/cache/HeadTailFileReader.h"
#include "engine/cache/LittleEndianReader.h"
#include "engine/cache/SimpleCacheFormat.h"

#include <algorithm>

namespace
{

using Format = SimpleCacheFormat;

// Each range costs a read; a file claiming more is not one the browser wrote.
constexpr qsizetype maxRanges = 100'000;

} // namespace

std::optional<SimpleSparseFile> SimpleSparseFile::read(const QString& path, QByteArrayView key)
{
    // Opened by name rather than found in a listing of regular files; the reader opens only a regular file.
    HeadTailFileReader file(path);
    if (!file.isOpen())
        return std::nullopt;
    const std::optional<QByteArray> headerBytes = file.read(0, Format::headerSize);
    if (!headerBytes)
        return std::nullopt;
    const LittleEndianReader header(*headerBytes);
    if (header.u64(0) != Format::initialMagic || header.u32(8) != Format::sparseVersion ||
        header.u32(12) != quint32(key.size()) || file.read(Format::headerSize, key.size()) != key.toByteArray())
        return std::nullopt;

    SimpleSparseFile sparse;
    sparse.stamp_ = file.stamp();
    qint64 position = Format::headerSize + key.size();
    while (position < file.size()) {
        if (sparse.ranges_.size() >= maxRanges)
            return std::nullopt;
        const std::optional<QByteArray> rangeBytes = file.read(position, Format::rangeHeaderSize);
        if (!rangeBytes)
            break;
        const LittleEndianReader rangeHeader(*rangeBytes);
        const qint64 resourceOffset = *rangeHeader.i64(8);
        const qint64 length = *rangeHeader.i64(16);
        const qint64 dataOffset = position + Format::rangeHeaderSize;
        if (rangeHeader.u64(0) != Format::rangeMagic || resourceOffset < 0 || length < 0 ||
            length > file.size() - dataOffset)
            break;
        sparse.ranges_.append(Range{resourceOffset, length, dataOffset});
        position = dataOffset + length;
    }
    std::sort(sparse.ranges_.begin(), sparse.ranges_.end(),
              [](const Range& a, const Range& b) { return a.resourceOffset < b.resourceOffset; });
    return sparse;
}

bool SimpleSparseFile::coversWhole(qint64 resourceLength) const
{
    qint64 covered = 0;
    for (const Range& range : ranges_) {
        if (range.resourceOffset != covered)
            return false;
        covered += range.length;
    }
    return covered == resourceLength;
}
