// libFuzzer target for the simple-cache reader.
//
// An input is an entry file, optionally followed by "#INDEX#" and the bytes of index-dir/the-real-index,
// optionally followed by "#SPARSE#" and the bytes of the entry's _s file; a real _0 file alone is a valid
// input. The entry is written under the name its key hashes to and the folder is walked, looked up, its
// bodies read and decoded, and emptied, twice: once as given, and once "sealed", with the key hash, key digest and CRCs
// the input breaks put right, so that mutations also reach the response info, the head and the body decoders instead of
// stopping at a checksum.

#include "engine/cache/SimpleCache.h"
#include "engine/cache/SimpleEntryFile.h"
#include "engine/cache/SuperFastHash.h"

#include "CacheFuzzing.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtEndian>
#include <zlib.h>

#include <cstdint>
#include <cstdlib>

namespace
{

struct FuzzInput
{
    QByteArray entry;
    std::optional<QByteArray> index;
    std::optional<QByteArray> sparse;
};

FuzzInput split(const QByteArray& data)
{
    FuzzInput input;
    QByteArray rest = data;
    const qsizetype sparseAt = rest.indexOf("#SPARSE#");
    if (sparseAt >= 0) {
        input.sparse = rest.mid(sparseAt + 8);
        rest.truncate(sparseAt);
    }
    const qsizetype indexAt = rest.indexOf("#INDEX#");
    if (indexAt >= 0) {
        input.index = rest.mid(indexAt + 7);
        rest.truncate(indexAt);
    }
    input.entry = rest;
    return input;
}

quint32 u32At(const QByteArray& bytes, qint64 offset)
{
    return qFromLittleEndian<quint32>(bytes.constData() + offset);
}

void putU32(QByteArray& bytes, qint64 offset, quint32 value)
{
    qToLittleEndian<quint32>(value, bytes.data() + offset);
}

quint32 crcOf(const QByteArray& bytes, qint64 offset, qint64 length)
{
    return quint32(crc32(0, reinterpret_cast<const Bytef*>(bytes.constData()) + offset, uInt(length)));
}

QByteArray keyOf(const QByteArray& entry)
{
    if (entry.size() < 24)
        return {};
    return entry.mid(24, qsizetype(std::min<quint32>(u32At(entry, 12), quint32(entry.size() - 24))));
}

// Puts right every check that covers a whole field, where the layout can be worked out at all.
QByteArray sealed(QByteArray entry)
{
    const qint64 fileSize = entry.size();
    if (fileSize < 48)
        return entry;
    const qint64 lastRecord = fileSize - 24;
    const qint64 keyLength = u32At(entry, 12);
    const qint64 responseInfoLength = u32At(entry, lastRecord + 16);
    const qint64 digestLength = (u32At(entry, lastRecord + 8) & 2) ? 32 : 0;
    const qint64 bodyLength = fileSize - 24 - keyLength - 24 - responseInfoLength - digestLength - 24;
    if (bodyLength < 0)
        return entry;
    const QByteArray key = entry.mid(24, keyLength);
    putU32(entry, 16, SuperFastHash::of(key));
    if (digestLength > 0)
        entry.replace(lastRecord - 32, 32, QCryptographicHash::hash(key, QCryptographicHash::Sha256));
    const qint64 bodyRecord = 24 + keyLength + bodyLength;
    putU32(entry, bodyRecord + 12, crcOf(entry, 24 + keyLength, bodyLength));
    putU32(entry, lastRecord + 12, crcOf(entry, bodyRecord + 24, responseInfoLength));
    return entry;
}

QByteArray sealedIndex(QByteArray index)
{
    if (index.size() < 8)
        return index;
    putU32(index, 0, quint32(index.size() - 8));
    putU32(index, 4, crcOf(index, 8, index.size() - 8));
    return index;
}

void exercise(const QByteArray& entry, const std::optional<QByteArray>& index, const std::optional<QByteArray>& sparse)
{
    QTemporaryDir folder;
    if (!folder.isValid())
        return;
    const QString stem =
        folder.filePath(QStringLiteral("%1").arg(SimpleEntryFile::entryHashOf(keyOf(entry)), 16, 16, QLatin1Char('0')));
    CacheFuzzing::writeFile(stem + QStringLiteral("_0"), entry);
    if (sparse)
        CacheFuzzing::writeFile(stem + QStringLiteral("_s"), *sparse);
    if (index) {
        QDir(folder.path()).mkdir(QStringLiteral("index-dir"));
        CacheFuzzing::writeFile(folder.filePath(QStringLiteral("index-dir/the-real-index")), *index);
    }

    SimpleCache cache(folder.path());
    QStringList urls;
    const std::unique_ptr<CacheEnumeration> enumeration = cache.enumerate();
    while (const std::optional<CacheEntry> entryFound = enumeration->next()) {
        CacheFuzzing::decodeBody(*entryFound);
        urls.append(entryFound->url);
    }
    for (const QString& url : urls) {
        if (const std::optional<CacheEntry> looked = cache.lookup(url)) {
            CacheFuzzing::decodeBody(*looked);
            cache.removeEntry(*looked);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const FuzzInput input = split(QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)));
    exercise(input.entry, input.index, input.sparse);
    exercise(sealed(input.entry), input.index ? std::optional(sealedIndex(*input.index)) : std::nullopt, input.sparse);
    return 0;
}
