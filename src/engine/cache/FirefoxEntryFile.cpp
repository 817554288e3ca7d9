#include "engine/cache/FirefoxEntryFile.h"

#include "engine/cache/FileDescriptor.h"

#include <algorithm>
#include <sys/stat.h>

namespace
{

constexpr qint64 kChunkSize = 256 * 1024;
// Enough for the metadata of nearly every entry (and for the whole of a small one) in a single read.
constexpr qint64 kSnapshotSize = 16 * 1024;
// Enough of a body's start for ContentDecoder::sizeHint.
constexpr qint64 kHeadSize = 64;
// Chunk hashes of a 2 GiB body, the browser's 64 KiB element limit and a very long key fit with room to spare;
// anything bigger is damage, not metadata.
constexpr qint64 kMaxMetadataSize = 4 * 1024 * 1024;
constexpr qsizetype kMaxElementsSize = 64 * 1024;
constexpr quint32 kCurrentVersion = 4;
constexpr quint32 kEncryptedBit = 0x80000000u;

// The caller has checked that [pos, pos + 4) lies inside `bytes`.
quint32 readU32(QByteArrayView bytes, qsizetype pos)
{
    const auto byteAt = [&](qsizetype i) { return quint32(static_cast<unsigned char>(bytes[pos + i])); };
    return byteAt(0) << 24 | byteAt(1) << 16 | byteAt(2) << 8 | byteAt(3);
}

quint32 readU32LittleEndian(const unsigned char* bytes)
{
    return quint32(bytes[0]) | quint32(bytes[1]) << 8 | quint32(bytes[2]) << 16 | quint32(bytes[3]) << 24;
}

// `length` bytes at `offset` of `file`; std::nullopt when fewer are there.
std::optional<QByteArray> readExactly(const FileDescriptor& file, qint64 offset, qint64 length)
{
    QByteArray bytes(length, Qt::Uninitialized);
    if (FileDescriptor::readAt(file.get(), bytes.data(), length, offset) != length)
        return std::nullopt;
    return bytes;
}

void mix(quint32& a, quint32& b, quint32& c)
{
    a -= b, a -= c, a ^= c >> 13;
    b -= c, b -= a, b ^= a << 8;
    c -= a, c -= b, c ^= b >> 13;
    a -= b, a -= c, a ^= c >> 12;
    b -= c, b -= a, b ^= a << 16;
    c -= a, c -= b, c ^= b >> 5;
    a -= b, a -= c, a ^= c >> 3;
    b -= c, b -= a, b ^= a << 10;
    c -= a, c -= b, c ^= b >> 15;
}

} // namespace

quint32 FirefoxEntryFile::hash(QByteArrayView bytes)
{
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    qsizetype remaining = bytes.size();
    quint32 a = 0x9E3779B9u;
    quint32 b = a;
    quint32 c = 0;
    for (; remaining >= 12; data += 12, remaining -= 12) {
        a += readU32LittleEndian(data);
        b += readU32LittleEndian(data + 4);
        c += readU32LittleEndian(data + 8);
        mix(a, b, c);
    }
    c += quint32(bytes.size());
    // The low byte of c holds the length, so the tail's bytes 8 to 10 go in above it.
    for (qsizetype i = 0; i < remaining; ++i) {
        const quint32 byte = data[i];
        if (i < 4)
            a += byte << (8 * i);
        else if (i < 8)
            b += byte << (8 * (i - 4));
        else
            c += byte << (8 * (i - 7));
    }
    mix(a, b, c);
    return c;
}

std::optional<FirefoxEntryFile> FirefoxEntryFile::read(const QString& path)
{
    struct stat status;
    const FileDescriptor file = FileDescriptor::openRegular(path, status);
    if (!file.isOpen())
        return std::nullopt;
    FirefoxEntryFile entry;
    entry.path_ = path;
    entry.fileSize_ = status.st_size;
    entry.stamp_ = StoredBody::FileStamp::of(status);
    const qint64 snapshotLength = std::min(entry.fileSize_, kSnapshotSize);
    entry.snapshotOffset_ = entry.fileSize_ - snapshotLength;
    std::optional<QByteArray> snapshot = readExactly(file, entry.snapshotOffset_, snapshotLength);
    if (!snapshot)
        return std::nullopt; // shrank while we read it
    entry.snapshot_ = std::move(*snapshot);
    // The start of a large file comes with this open, for a reader of the body's first bytes (a gzip
    // header) not to open the file again.
    if (entry.snapshotOffset_ > 0)
        entry.head_ = readExactly(file, 0, std::min(entry.snapshotOffset_, kHeadSize)).value_or(QByteArray());

    const std::optional<Trailer> trailer = parseTrailer(entry.snapshot_, entry.fileSize_);
    if (!trailer)
        return std::nullopt;
    if (trailer->dataSize < entry.snapshotOffset_) {
        // A large block: read it whole, and make sure the file still ends with the trailer that pointed at it.
        const qint64 blockAndTrailer = entry.fileSize_ - trailer->dataSize;
        if (blockAndTrailer > kMaxMetadataSize)
            return std::nullopt;
        const QByteArray trailerBytes = entry.snapshot_.right(trailer->length);
        std::optional<QByteArray> block = readExactly(file, trailer->dataSize, blockAndTrailer);
        struct stat now;
        if (!block || ::fstat(file.get(), &now) != 0 || now.st_size != entry.fileSize_ ||
            !block->endsWith(trailerBytes))
            return std::nullopt;
        entry.snapshot_ = std::move(*block);
        entry.snapshotOffset_ = trailer->dataSize;
    }
    const qsizetype blockStart = trailer->dataSize - entry.snapshotOffset_;
    const qsizetype blockEnd = entry.snapshot_.size() - trailer->length;
    const QByteArrayView block(entry.snapshot_.constData() + blockStart, blockEnd - blockStart);
    if (!entry.parseMetadata(block, *trailer))
        return std::nullopt;
    return entry;
}

std::optional<FirefoxEntryFile::Trailer> FirefoxEntryFile::parseTrailer(QByteArrayView fileEnd, qint64 fileSize)
{
    const qsizetype n = fileEnd.size();
    if (n < 4)
        return std::nullopt;
    Trailer trailer;
    // The older trailer is the bare data size, right after the NUL that ends the key or the last element.
    // The current one puts the entry version first, whose low byte is never NUL.
    if (n >= 8 && fileEnd[n - 5] != '\0') {
        trailer.version = readU32(fileEnd, n - 8);
        if (trailer.version != kCurrentVersion)
            return std::nullopt; // includes the all-ones trailer of an entry still being written
        const quint32 word = readU32(fileEnd, n - 4);
        if (word & kEncryptedBit)
            return std::nullopt; // readable only with the browser's key
        trailer.dataSize = word & ~kEncryptedBit;
        trailer.length = 8;
    } else {
        trailer.dataSize = readU32(fileEnd, n - 4);
        trailer.length = 4;
    }
    if (trailer.dataSize > fileSize - trailer.length)
        return std::nullopt;
    return trailer;
}

bool FirefoxEntryFile::parseMetadata(QByteArrayView block, const Trailer& trailer)
{
    if (block.size() < 4 || readU32(block, 0) != hash(block.sliced(4)))
        return false;
    const qint64 chunkCount = (trailer.dataSize + kChunkSize - 1) / kChunkSize;
    const qint64 headerStart = 4 + 2 * chunkCount;
    if (headerStart + 4 > block.size())
        return false;
    const quint32 version = readU32(block, headerStart);
    // The current trailer repeats the header's version; the older trailer goes with versions 1 to 3.
    if (trailer.version != 0 ? version != trailer.version : (version < 1 || version > 3))
        return false;
    const qint64 headerSize = version == 1 ? 28 : 32; // version 1 had no flags field
    if (headerStart + headerSize > block.size())
        return false;
    fetchCount_ = readU32(block, headerStart + 4);
    lastFetched_ = readU32(block, headerStart + 8);
    const qint64 keySize = readU32(block, headerStart + 24);
    const qint64 keyStart = headerStart + headerSize;
    if (keySize >= block.size() - keyStart || block[keyStart + keySize] != '\0')
        return false;
    key_ = block.sliced(keyStart, keySize).toByteArray();
    if (!parseElements(block.sliced(keyStart + keySize + 1)))
        return false;
    dataSize_ = trailer.dataSize;
    bodyLength_ = dataSize_;
    return applyAltData();
}

bool FirefoxEntryFile::parseElements(QByteArrayView area)
{
    if (area.size() > kMaxElementsSize || (!area.isEmpty() && area.back() != '\0'))
        return false;
    for (qsizetype pos = 0; pos < area.size();) {
        const qsizetype nameEnd = area.indexOf('\0', pos);
        const qsizetype valueEnd = area.indexOf('\0', nameEnd + 1);
        if (valueEnd < 0)
            return false; // a name without a value
        elements_.append({area.sliced(pos, nameEnd - pos).toByteArray(),
                          area.sliced(nameEnd + 1, valueEnd - nameEnd - 1).toByteArray()});
        pos = valueEnd + 1;
    }
    return true;
}

bool FirefoxEntryFile::applyAltData()
{
    // "1;<offset>,<type>": the body ends where the alternative data begins.
    const std::optional<QByteArray> altData = element("alt-data");
    if (!altData)
        return true;
    const qsizetype semicolon = altData->indexOf(';');
    const qsizetype comma = semicolon < 0 ? -1 : altData->indexOf(',', semicolon + 1);
    if (comma < 0 || altData->left(semicolon) != "1")
        return false;
    bool isNumber = false;
    const qint64 offset = altData->mid(semicolon + 1, comma - semicolon - 1).toLongLong(&isNumber);
    if (!isNumber || offset < 0 || offset > dataSize_)
        return false;
    bodyLength_ = offset;
    return true;
}

std::optional<QByteArray> FirefoxEntryFile::element(QByteArrayView name) const
{
    for (const auto& [elementName, value] : elements_) {
        if (elementName == name)
            return value;
    }
    return std::nullopt;
}

std::optional<QByteArray> FirefoxEntryFile::readBody(qint64 offset, qint64 length) const
{
    if (offset < 0 || length < 0 || offset > bodyLength_ || length > bodyLength_ - offset)
        return std::nullopt;
    if (offset >= snapshotOffset_)
        return snapshot_.mid(offset - snapshotOffset_, length);
    if (length <= head_.size() - offset)
        return head_.mid(offset, length);
    struct stat status;
    const FileDescriptor file = FileDescriptor::openRegular(path_, status);
    if (!file.isOpen() || status.st_size != fileSize_)
        return std::nullopt;
    return readExactly(file, offset, length);
}
