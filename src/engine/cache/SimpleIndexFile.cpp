#include "engine/cache/SimpleIndexFile.h"

#include "engine/cache/ChromiumTime.h"
#include "engine/cache/FileDescriptor.h"
#include "engine/cache/LittleEndianReader.h"

#include <zlib.h>

namespace
{

constexpr quint64 indexMagic = 0x656e74657220796full;
constexpr quint32 oldestVersion = 6;
constexpr quint32 newestVersion = 9;
constexpr quint32 firstVersionWithWriteReason = 7;
constexpr quint64 maxEntryCount = 1'000'000; // the browser rejects larger indexes as corrupt
constexpr qint64 recordSize = 24;
constexpr qint64 headerSize = 8; // payload length and CRC ahead of the pickled payload
// Records, the header fields and slack; anything larger is not an index this program will read.
constexpr qint64 maxIndexFileSize = 64 + recordSize * qint64(maxEntryCount);

} // namespace

QHash<quint64, QDateTime> SimpleIndexFile::lastUsedTimes(const QString& cacheFolder)
{
    const QString path = cacheFolder + QStringLiteral("/index-dir/the-real-index");
    // Anything but a regular file is no index; one too large to be one is not read whole to find out.
    const std::optional<QByteArray> bytes = FileDescriptor::readStart(path, maxIndexFileSize + 1);
    if (!bytes || bytes->size() > maxIndexFileSize)
        return {};
    return parse(*bytes);
}

QHash<quint64, QDateTime> SimpleIndexFile::parse(const QByteArray& bytes)
{
    const LittleEndianReader index(bytes);
    const std::optional<quint32> payloadLength = index.u32(0);
    const std::optional<quint32> storedCrc = index.u32(4);
    if (!payloadLength || !storedCrc || !index.contains(headerSize, *payloadLength))
        return {};
    // The CRC covers the whole payload, so a torn or half-written index is refused as a whole.
    const uLong crc = crc32(0, reinterpret_cast<const Bytef*>(bytes.constData()) + headerSize, *payloadLength);
    if (crc != *storedCrc)
        return {};

    const std::optional<quint64> magic = index.u64(8);
    const std::optional<quint32> version = index.u32(16);
    const std::optional<quint64> entryCount = index.u64(20);
    if (!magic || *magic != indexMagic || !version || *version < oldestVersion || *version > newestVersion ||
        !entryCount || *entryCount > maxEntryCount)
        return {};
    const qint64 firstRecord = *version >= firstVersionWithWriteReason ? 40 : 36;
    const qint64 payloadEnd = headerSize + *payloadLength;
    if (firstRecord + recordSize * qint64(*entryCount) > payloadEnd)
        return {};

    QHash<quint64, QDateTime> times;
    times.reserve(qsizetype(*entryCount));
    for (quint64 i = 0; i < *entryCount; ++i) {
        const qint64 record = firstRecord + recordSize * qint64(i);
        const std::optional<quint64> entryHash = index.u64(record);
        const std::optional<qint64> lastUsed = index.i64(record + 8);
        if (!entryHash || !lastUsed)
            return {};
        const QDateTime time = ChromiumTime::toUtc(*lastUsed);
        if (time.isValid())
            times.insert(*entryHash, time);
    }
    return times;
}
