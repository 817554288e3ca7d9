#include "engine/cache/BlockfileDataFiles.h"

#include "engine/cache/FileDescriptor.h"
#include "engine/cache/LittleEndianReader.h"

#include <algorithm>

namespace
{

constexpr quint32 blockFileMagic = 0xC104CAC3u;
// Blocks start after the header, which ends in the allocation bitmap.
constexpr qint64 blockFileHeaderSize = 8192;
// Walks keep what they read of the block files up to this much, then start afresh: the record and entry
// files of even a large cache fit, and a damaged or huge one cannot make a walk hold more.
constexpr qint64 chunkSize = 256 * 1024;
constexpr qint64 maxChunkBytes = 64 * 1024 * 1024;

} // namespace

BlockfileDataFiles::BlockfileDataFiles(const QString& folder, Access access) : folder_(folder), access_(access) {}

BlockfileDataFiles::~BlockfileDataFiles() = default;

std::unique_ptr<BlockfileDataFiles::OpenFile> BlockfileDataFiles::openFile(BlockfileAddress address) const
{
    auto opened = std::make_unique<OpenFile>();
    opened->path = folder_ + QLatin1Char('/') + address.fileName();
    struct stat status;
    opened->file = FileDescriptor::openRegular(opened->path, status);
    if (!opened->file.isOpen())
        return opened;
    opened->size = status.st_size;
    opened->stamp = StoredBody::FileStamp::of(status);
    opened->usable = true;
    return opened;
}

std::unique_ptr<BlockfileDataFiles::OpenFile> BlockfileDataFiles::openBlockFile(BlockfileAddress address) const
{
    // Opened as a plain file first; usable only once its header checks out.
    std::unique_ptr<OpenFile> opened = openFile(address);
    if (!opened->usable)
        return opened;
    opened->usable = false;
    QByteArray headerBytes(24, Qt::Uninitialized);
    headerBytes.truncate(FileDescriptor::readAt(opened->file.get(), headerBytes.data(), headerBytes.size(), 0));
    const LittleEndianReader header(headerBytes);
    const std::optional<quint32> version = header.u32(4);
    const std::optional<quint16> thisFile = header.u16(8);
    const std::optional<quint32> blockSize = header.u32(12);
    const std::optional<quint32> blockCount = header.u32(20);
    if (header.u32(0) != blockFileMagic || !version || (*version >> 16 != 2 && *version >> 16 != 3) ||
        thisFile != address.blockFileNumber() || !blockSize || *blockSize == 0 || !blockCount)
        return opened;
    opened->blockSize = *blockSize;
    opened->blockCount = *blockCount;
    opened->usable = true;
    return opened;
}

BlockfileDataFiles::OpenFile* BlockfileDataFiles::fileFor(BlockfileAddress address)
{
    if (address.isExternal()) {
        if (address.externalFileNumber() != lastExternalNumber_) {
            lastExternalFile_ = openFile(address);
            lastExternalNumber_ = address.externalFileNumber();
        }
        return lastExternalFile_.get();
    }
    std::unique_ptr<OpenFile>& blockFile = blockFiles_[size_t(address.blockFileNumber())];
    if (!blockFile)
        blockFile = openBlockFile(address);
    return blockFile.get();
}

std::optional<BlockfileDataFiles::Location> BlockfileDataFiles::locate(BlockfileAddress address)
{
    if (!address.isValid())
        return std::nullopt;
    OpenFile* const file = fileFor(address);
    if (!file->usable)
        return std::nullopt;
    if (address.isExternal())
        return Location{file->path, 0, file->size, file->stamp};
    // A block file of one number always holds one block size, so an address of another type naming it
    // is damaged.
    if (file->blockSize != address.blockSize())
        return std::nullopt;
    const qint64 endBlock = qint64(address.firstBlock()) + address.blockCount();
    const qint64 offset = blockFileHeaderSize + qint64(address.firstBlock()) * file->blockSize;
    const qint64 capacity = qint64(address.blockCount()) * file->blockSize;
    if (endBlock > file->blockCount || offset + capacity > file->size)
        return std::nullopt;
    return Location{file->path, offset, capacity, std::nullopt};
}

std::optional<QByteArray> BlockfileDataFiles::read(BlockfileAddress address, qint64 offset, qint64 length)
{
    const std::optional<Location> location = locate(address);
    if (!location || offset < 0 || length < 0 || offset > location->capacity || length > location->capacity - offset)
        return std::nullopt;
    OpenFile& file = *fileFor(address);
    if (access_ == Access::Walk && !address.isExternal())
        return readThroughChunks(file, location->offset + offset, length);
    return readDirectly(file, location->offset + offset, length);
}

void BlockfileDataFiles::prefetch(BlockfileAddress address, qint64 offset, qint64 length)
{
    if (access_ != Access::Walk || !address.isValid() || address.isExternal())
        return;
    const std::optional<Location> location = locate(address);
    if (!location || offset < 0 || length <= 0 || offset >= location->capacity)
        return;
    const OpenFile& file = *fileFor(address);
    const qint64 start = location->offset + offset;
    const auto chunk = file.chunks.find(start / chunkSize);
    if (chunk == file.chunks.end())
        return;
    const qint64 inChunk = start - chunk->first * chunkSize;
    const qint64 end = std::min({inChunk + std::min(length, location->capacity - offset), chunk->second.size()});
    constexpr qint64 cacheLine = 64;
    for (qint64 at = inChunk; at < end; at += cacheLine)
        __builtin_prefetch(chunk->second.constData() + at);
}

std::optional<QByteArray> BlockfileDataFiles::readDirectly(OpenFile& file, qint64 offset, qint64 length) const
{
    const int fd = file.file.get();
    if (fd < 0 || offset < 0 || length < 0)
        return std::nullopt;
    QByteArray bytes(length, Qt::Uninitialized);
    if (FileDescriptor::readAt(fd, bytes.data(), length, offset) != length)
        return std::nullopt;
    return bytes;
}

std::optional<QByteArray> BlockfileDataFiles::readThroughChunks(OpenFile& file, qint64 offset, qint64 length)
{
    // Most records lie inside one chunk already read: one copy, no growing.
    if (const auto chunk = file.chunks.find(offset / chunkSize); chunk != file.chunks.end()) {
        const qint64 inChunk = offset - chunk->first * chunkSize;
        if (length <= chunk->second.size() - inChunk)
            return QByteArray(chunk->second.constData() + inChunk, length);
    }
    QByteArray bytes;
    bytes.reserve(length);
    // Records and streams in blocks are at most 4 blocks of 4 KiB, so they span one or two chunks.
    for (qint64 at = offset; at < offset + length;) {
        const qint64 chunkNumber = at / chunkSize;
        auto chunk = file.chunks.find(chunkNumber);
        if (chunk == file.chunks.end()) {
            if (chunkBytes_ + chunkSize > maxChunkBytes) {
                for (const std::unique_ptr<OpenFile>& blockFile : blockFiles_) {
                    if (blockFile)
                        blockFile->chunks.clear();
                }
                chunkBytes_ = 0;
            }
            std::optional<QByteArray> read =
                readDirectly(file, chunkNumber * chunkSize, std::min(chunkSize, file.size - chunkNumber * chunkSize));
            if (!read)
                return std::nullopt;
            chunkBytes_ += read->size();
            chunk = file.chunks.emplace(chunkNumber, std::move(*read)).first;
        }
        const qint64 inChunk = at - chunkNumber * chunkSize;
        const qint64 piece = std::min(offset + length - at, chunk->second.size() - inChunk);
        if (piece <= 0)
            return std::nullopt;
        bytes.append(chunk->second.constData() + inChunk, piece);
        at += piece;
    }
    return bytes;
}
