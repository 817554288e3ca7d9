#include "engine/cache/SimpleEntryFile.h"

#include "engine/cache/FileDescriptor.h"
#include "engine/cache/HeadTailFileReader.h"
#include "engine/cache/KeyDigest.h"
#include "engine/cache/LittleEndianReader.h"
#include "engine/cache/SimpleCacheFormat.h"
#include "engine/cache/SuperFastHash.h"

#include <algorithm>
#include <zlib.h>

namespace
{

using Format = SimpleCacheFormat;

constexpr qint64 keyDigestSize = 32;
constexpr quint32 crcValidFlag = 1u << 0;
constexpr quint32 keyDigestFlag = 1u << 1;
// Browsers refuse URLs beyond 2 MiB; response heads with certificate chains stay far below this.
constexpr qint64 maxKeyLength = 4 * 1024 * 1024;
constexpr qint64 maxResponseInfoLength = 4 * 1024 * 1024;
constexpr qint64 bodyEdgeLength = 64;

struct EndRecord
{
    quint32 flags = 0;
    quint32 crc = 0;
    quint32 streamSize = 0;
};

std::optional<EndRecord> endRecordAt(HeadTailFileReader& file, qint64 offset)
{
    const std::optional<QByteArrayView> bytes = file.view(offset, Format::endRecordSize);
    if (!bytes)
        return std::nullopt;
    const LittleEndianReader record(*bytes);
    if (record.u64(0) != Format::finalMagic)
        return std::nullopt;
    return EndRecord{*record.u32(8), *record.u32(12), *record.u32(16)};
}

// The key length from a checked header, or std::nullopt.
std::optional<qint64> keyLengthFromHeader(QByteArrayView bytes)
{
    if (bytes.size() < Format::headerSize)
        return std::nullopt;
    const LittleEndianReader header(bytes.first(Format::headerSize));
    const std::optional<quint32> keyLength = header.u32(12);
    if (header.u64(0) != Format::initialMagic || header.u32(8) != Format::entryVersion || !keyLength ||
        *keyLength > maxKeyLength)
        return std::nullopt;
    return *keyLength;
}

quint32 crcOf(QByteArrayView bytes)
{
    return quint32(crc32(0, reinterpret_cast<const Bytef*>(bytes.constData()), uInt(bytes.size())));
}

quint64 entryHashFromDigest(const KeyDigest::Sha1& sha1)
{
    quint64 hash = 0;
    for (int i = 7; i >= 0; --i)
        hash = (hash << 8) | sha1[std::size_t(i)];
    return hash;
}

bool nameMatchesKey(const QString& path, QByteArrayView key)
{
    bool isHex = false;
    const QStringView fileName = QStringView(path).sliced(path.lastIndexOf(u'/') + 1);
    const quint64 nameHash = fileName.left(16).toULongLong(&isHex, 16);
    return isHex && nameHash == entryHashFromDigest(KeyDigest::sha1(key));
}

} // namespace

quint64 SimpleEntryFile::entryHashOf(QByteArrayView key)
{
    return entryHashFromDigest(KeyDigest::sha1(key));
}

std::optional<QByteArray> SimpleEntryFile::readKey(const QString& path, int folderFd)
{
    // The header and the key only, from one short read where the key is of a usual length: indexing a
    // cache reads this much of every entry file, and the rest of a file is of no use to it.
    constexpr qint64 firstRead = 2048;
    struct stat status;
    const FileDescriptor file = FileDescriptor::openRegular(path, status, folderFd);
    if (!file.isOpen())
        return std::nullopt;
    QByteArray head(std::min<qint64>(status.st_size, firstRead), Qt::Uninitialized);
    if (FileDescriptor::readAt(file.get(), head.data(), head.size(), 0) != head.size())
        return std::nullopt;
    const std::optional<qint64> keyLength = keyLengthFromHeader(head);
    if (!keyLength || Format::headerSize + *keyLength + 2 * Format::endRecordSize > status.st_size)
        return std::nullopt;
    if (Format::headerSize + *keyLength <= head.size())
        return head.sliced(Format::headerSize, *keyLength);
    QByteArray key(*keyLength, Qt::Uninitialized);
    if (FileDescriptor::readAt(file.get(), key.data(), key.size(), Format::headerSize) != key.size())
        return std::nullopt;
    return key;
}

std::optional<SimpleEntryFile> SimpleEntryFile::read(const QString& path, int folderFd)
{
    // A browser may be writing the entry right now: a read that saw the file change is repeated once.
    for (int attempt = 0; attempt < 2; ++attempt) {
        HeadTailFileReader file(path, folderFd);
        if (!file.isOpen())
            return std::nullopt;
        std::optional<SimpleEntryFile> entry = parse(file, path);
        if (file.unchangedSinceOpen())
            return entry;
    }
    return std::nullopt;
}

std::optional<SimpleEntryFile> SimpleEntryFile::fromWholeFile(const struct stat& status, QByteArray bytes,
                                                              const QString& path)
{
    HeadTailFileReader file(status, std::move(bytes));
    return parse(file, path);
}

std::optional<SimpleEntryFile> SimpleEntryFile::parse(HeadTailFileReader& file, const QString& path)
{
    const qint64 fileSize = file.size();
    if (fileSize < Format::headerSize + 2 * Format::endRecordSize)
        return std::nullopt;

    // The layout is known only from the end: the last record gives the size of stream 0 and whether
    // a key digest precedes it. An entry still being written has no such record yet.
    const std::optional<EndRecord> lastRecord = endRecordAt(file, fileSize - Format::endRecordSize);
    const std::optional<QByteArrayView> header = file.view(0, Format::headerSize);
    const std::optional<qint64> keyLength = header ? keyLengthFromHeader(*header) : std::nullopt;
    if (!lastRecord || !keyLength)
        return std::nullopt;
    const qint64 responseInfoLength = lastRecord->streamSize;
    const qint64 digestLength = (lastRecord->flags & keyDigestFlag) ? keyDigestSize : 0;
    if (responseInfoLength > maxResponseInfoLength)
        return std::nullopt;
    // The key and stream 0 are capped above, so the sum cannot overflow.
    const qint64 bodyLength = fileSize - Format::headerSize - *keyLength - Format::endRecordSize - responseInfoLength -
                              digestLength - Format::endRecordSize;
    if (bodyLength < 0)
        return std::nullopt;
    const qint64 bodyOffset = Format::headerSize + *keyLength;
    const qint64 bodyRecordOffset = bodyOffset + bodyLength;
    const qint64 responseInfoOffset = bodyRecordOffset + Format::endRecordSize;

    // Views into what the reader holds: the entry keeps the reader's buffers rather than copies.
    const std::optional<QByteArrayView> key = file.view(Format::headerSize, *keyLength);
    const std::optional<EndRecord> bodyRecord = endRecordAt(file, bodyRecordOffset);
    const std::optional<QByteArrayView> responseInfo = file.view(responseInfoOffset, responseInfoLength);
    if (!key || !bodyRecord || !responseInfo)
        return std::nullopt;
    if (LittleEndianReader(*header).u32(16) != SuperFastHash::of(*key) || !nameMatchesKey(path, *key))
        return std::nullopt;
    if (digestLength > 0) {
        const std::optional<QByteArrayView> digest =
            file.view(fileSize - Format::endRecordSize - digestLength, digestLength);
        const KeyDigest::Sha256 expected = KeyDigest::sha256(*key);
        if (!digest || *digest != QByteArrayView(expected.data(), qsizetype(expected.size())))
            return std::nullopt;
    }
    if ((lastRecord->flags & crcValidFlag) && crcOf(*responseInfo) != lastRecord->crc)
        return std::nullopt;
    // A body read already with the rest of a small file is checked here, so that a damaged one is not
    // offered; a large one is checked by whoever reads it (see StoredBody::storedCrc32), since reading it
    // only to check it would cost more than the whole walk. The end records around it pin its extent.
    const std::optional<QByteArrayView> wholeBody = file.viewIfInMemory(bodyOffset, bodyLength);
    if (wholeBody && (bodyRecord->flags & crcValidFlag) && crcOf(*wholeBody) != bodyRecord->crc)
        return std::nullopt;

    const qint64 edgeLength = std::min(bodyLength, bodyEdgeLength);
    const std::optional<QByteArrayView> bodyHead = wholeBody ? wholeBody : file.view(bodyOffset, edgeLength);
    const std::optional<QByteArrayView> bodyTail = file.view(bodyRecordOffset - edgeLength, edgeLength);
    if (!bodyHead || !bodyTail)
        return std::nullopt;
    SimpleEntryFile entry;
    entry.modified_ = file.modified();
    entry.stamp_ = file.stamp();
    entry.key_ = *key;
    entry.bodyOffset_ = bodyOffset;
    entry.bodyLength_ = bodyLength;
    if (bodyRecord->flags & crcValidFlag)
        entry.bodyCrc32_ = bodyRecord->crc;
    entry.bodyHead_ = *bodyHead;
    entry.bodyTail_ = *bodyTail;
    entry.bodyChecked_ = wholeBody.has_value();
    entry.responseInfo_ = *responseInfo;
    entry.buffers_ = file.takeBuffers();
    return entry;
}
