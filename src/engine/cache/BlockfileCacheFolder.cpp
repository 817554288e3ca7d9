#include "engine/cache/BlockfileCacheFolder.h"

#include "engine/cache/BlockfileDataFiles.h"
#include "engine/cache/BlockfileEntry.h"
#include "engine/cache/BlockfileEntryWalk.h"
#include "engine/cache/BlockfileIndex.h"
#include "engine/cache/BlockfileRankingsNode.h"
#include "engine/cache/ChromiumCacheKey.h"
#include "engine/cache/ChromiumHttpEntry.h"
#include "engine/cache/ChromiumTime.h"
#include "engine/cache/ContentDecoder.h"
#include "engine/cache/FileDescriptor.h"
#include "engine/cache/LittleEndianReader.h"
#include "engine/cache/SuperFastHash.h"

#include <QDir>
#include <QFile>
#include <algorithm>

namespace
{

constexpr int responseInfoStream = 0;
constexpr int bodyStream = 1;
constexpr int sparseStream = 2;

// Browsers refuse URLs beyond 2 MiB; response heads with certificate chains stay far below this.
constexpr qint64 maxKeyLength = 4 * 1024 * 1024;
constexpr qint64 maxResponseInfoLength = 4 * 1024 * 1024;

// Streams up to 16 KiB live in blocks; a longer one is in an external file.
constexpr qint64 wholeBodyLimit = 16 * 1024;
constexpr qint64 bodyEdgeLength = 64;

// Range-fetched resources are split into children of 1 MiB each, whose key is
// "Range_<parent key>:<signature hex>:<child number hex>".
constexpr qint64 sparseChildSpan = 1024 * 1024;
constexpr qint64 sparseBlockSize = 1024;
constexpr quint32 sparseHeaderMagic = 0xC103CAC3u;
constexpr qint64 sparseHeaderSize = 64;  // signature, magic, parent key length, last block and its length
constexpr qint64 sparseBitmapSize = 128; // one bit per 1 KiB block of a child's 1 MiB

struct SparseHeader
{
    quint64 signature = 0;
    qint64 parentKeyLength = 0;
    qint64 lastBlock = 0;
    qint64 lastBlockLength = 0;
    QByteArray bitmap; // what follows the header: children of a parent, filled blocks of a child
};

std::optional<SparseHeader> sparseHeaderOf(BlockfileDataFiles& files, const BlockfileEntry& record, qint64 bitmapSize)
{
    const qint64 size = sparseHeaderSize + bitmapSize;
    if (record.streamSize(sparseStream) < size)
        return std::nullopt;
    const std::optional<QByteArray> bytes = files.read(record.streamAddress(sparseStream), 0, size);
    if (!bytes)
        return std::nullopt;
    const LittleEndianReader reader(*bytes);
    if (reader.u32(8) != sparseHeaderMagic)
        return std::nullopt;
    return SparseHeader{*reader.u64(0), qint32(*reader.u32(12)), qint32(*reader.u32(16)), qint32(*reader.u32(20)),
                        bytes->mid(sparseHeaderSize)};
}

bool bitIsSet(const QByteArray& bitmap, qint64 bit)
{
    return bit >= 0 && bit / 8 < bitmap.size() && (quint8(bitmap[bit / 8]) >> (bit % 8)) & 1;
}

// The entry whose key is `key`, found the way the browser finds it: through its bucket's chain.
std::optional<BlockfileEntry> findRecord(BlockfileDataFiles& files, const BlockfileIndex& index, const QByteArray& key)
{
    const quint32 hash = SuperFastHash::of(key);
    BlockfileEntryWalk chain(index, files, index.bucketOf(hash));
    while (std::optional<BlockfileEntryWalk::Step> step = chain.next()) {
        if (step->record.keyHash() == hash && step->record.isNormal() &&
            BlockfileCacheFolder::keyOf(files, step->record) == key)
            return std::move(step->record);
    }
    return std::nullopt;
}

// The decoded size of a body stored at `address` where its encoding records it, read off its ends (gzip's
// trailer) or, for zstd, off a short body seen whole; CacheEntry::kUnknownSize otherwise. A walk has the
// blocks these lie in at hand already.
qint64 sizeHintOf(BlockfileDataFiles& files, BlockfileAddress address, const StoredBody& body)
{
    if (ChromiumHttpEntry::isIdentity(body.contentEncoding))
        return body.length;
    const qint64 edge = std::min(body.length, bodyEdgeLength);
    const bool wantsWhole = body.length <= wholeBodyLimit && body.contentEncoding == QLatin1String("zstd");
    const QByteArray head = files.read(address, 0, wantsWhole ? body.length : edge).value_or(QByteArray());
    const QByteArray tail = files.read(address, body.length - edge, edge).value_or(QByteArray());
    return ChromiumHttpEntry::sizeHintOf(body, head, tail);
}

} // namespace

BlockfileCacheFolder::BlockfileCacheFolder(const QString& folder) : path_(QDir::cleanPath(QDir(folder).absolutePath()))
{}

bool BlockfileCacheFolder::recognises(const QString& folder)
{
    const QDir dir(folder);
    const std::optional<QByteArray> header = FileDescriptor::readStart(dir.filePath(QStringLiteral("index")), 8);
    return header && BlockfileIndex::hasKnownHeader(*header) && QFile::exists(dir.filePath(QStringLiteral("data_0")));
}

std::optional<BlockfileIndex> BlockfileCacheFolder::readIndex() const
{
    return BlockfileIndex::read(path_ + QStringLiteral("/index"));
}

QString BlockfileCacheFolder::keyOf(BlockfileAddress address)
{
    QString key(8, Qt::Uninitialized);
    QChar* out = key.data();
    for (int shift = 28; shift >= 0; shift -= 4)
        *out++ = QChar(char16_t(u"0123456789abcdef"[(address.value() >> shift) & 0xf]));
    return key;
}

std::optional<BlockfileAddress> BlockfileCacheFolder::addressOf(const QString& entryKey)
{
    bool isHex = false;
    const quint32 value = entryKey.toUInt(&isHex, 16);
    if (entryKey.size() != 8 || !isHex)
        return std::nullopt;
    return BlockfileAddress(value);
}

std::optional<QByteArray> BlockfileCacheFolder::keyOf(BlockfileDataFiles& files, const BlockfileEntry& record)
{
    if (record.keyLength() <= 0 || record.keyLength() > maxKeyLength)
        return std::nullopt;
    std::optional<QByteArray> key =
        record.longKey().value() == 0 ? record.inlineKey() : files.read(record.longKey(), 0, record.keyLength());
    if (!key || SuperFastHash::of(*key) != record.keyHash())
        return std::nullopt;
    return key;
}

std::optional<QDateTime> BlockfileCacheFolder::lastUsed(BlockfileDataFiles& files, BlockfileAddress address,
                                                        const BlockfileEntry& record)
{
    const BlockfileAddress nodeAddress = record.rankingsNode();
    if (!nodeAddress.isValid() || nodeAddress.fileType() != BlockfileAddress::FileType::Rankings)
        return std::nullopt;
    const std::optional<QByteArray> bytes = files.read(nodeAddress, 0, BlockfileRankingsNode::size);
    const std::optional<BlockfileRankingsNode> node = bytes ? BlockfileRankingsNode::parse(*bytes) : std::nullopt;
    if (!node || node->entry() != address || node->isDirty())
        return std::nullopt;
    // A time no cache could have been written at only comes from damage the checksums missed; the
    // creation time is the next best thing.
    if (const QDateTime used = ChromiumTime::toUtc(node->lastUsed()); used.isValid())
        return used;
    if (const QDateTime created = ChromiumTime::toUtc(record.creationTime()); created.isValid())
        return created;
    return std::nullopt;
}

void BlockfileCacheFolder::prefetchEntry(BlockfileDataFiles& files, const BlockfileEntry& record)
{
    if (record.longKey().value() != 0)
        files.prefetch(record.longKey(), 0, record.keyLength());
    files.prefetch(record.rankingsNode(), 0, BlockfileRankingsNode::size);
    files.prefetch(record.streamAddress(responseInfoStream), 0, record.streamSize(responseInfoStream));
    const qint64 bodyLength = record.streamSize(bodyStream);
    files.prefetch(record.streamAddress(bodyStream), 0, std::min(bodyLength, bodyEdgeLength));
    files.prefetch(record.streamAddress(bodyStream), bodyLength - bodyEdgeLength, bodyEdgeLength);
}

std::optional<CacheEntry> BlockfileCacheFolder::readEntry(BlockfileDataFiles& files, const BlockfileIndex& index,
                                                          BlockfileAddress address, const BlockfileEntry& record) const
{
    if (!record.isNormal() || (record.flags() & BlockfileEntry::sparseChildFlag))
        return std::nullopt;
    const std::optional<QByteArray> key = keyOf(files, record);
    const std::optional<QDateTime> used = key ? lastUsed(files, address, record) : std::nullopt;
    const qint64 responseInfoLength = record.streamSize(responseInfoStream);
    if (!used || responseInfoLength <= 0 || responseInfoLength > maxResponseInfoLength)
        return std::nullopt;
    const std::optional<QByteArray> responseInfo =
        files.read(record.streamAddress(responseInfoStream), 0, responseInfoLength);
    const std::optional<ChromiumHttpEntry> http =
        responseInfo ? ChromiumHttpEntry::fromStreams(*key, *responseInfo) : std::nullopt;
    if (!http)
        return std::nullopt;
    const HttpResponseHead& head = http->head();

    CacheEntry entry = http->toCacheEntry(path_);
    entry.lastAccess = *used;
    const bool rangeFetched = (record.flags() & BlockfileEntry::sparseParentFlag) != 0;
    // A 206 stored whole would be part of a resource; a range-fetched resource answered 200 was never seen.
    if (rangeFetched != (head.statusCode() == 206))
        return std::nullopt;
    if (rangeFetched) {
        const std::optional<StoredBody> body = ChromiumHttpEntry::isIdentity(head.contentEncoding())
                                                   ? sparseBody(files, index, record, *key, head.field("content-range"))
                                                   : std::nullopt;
        if (!body)
            return std::nullopt;
        entry.body = *body;
        entry.size = body->length;
    } else {
        const qint64 bodyLength = record.streamSize(bodyStream);
        const BlockfileAddress bodyAddress = record.streamAddress(bodyStream);
        // An empty body has no stream; it is read as the empty start of the entry's own record.
        const std::optional<BlockfileDataFiles::Location> location =
            bodyLength == 0 ? files.locate(address) : files.locate(bodyAddress);
        if (bodyLength < 0 || !location || bodyLength > location->capacity)
            return std::nullopt;
        entry.body = StoredBody{location->path,
                                location->offset,
                                bodyLength,
                                head.contentEncoding(),
                                std::nullopt,
                                {},
                                bodyLength == 0 ? std::nullopt : location->stamp};
        entry.size = bodyLength == 0 ? 0 : sizeHintOf(files, bodyAddress, entry.body);
        // A body in blocks lies in the chunks a walk has read anyway: kept with the entry, saving it costs
        // no further read of a block file.
        if (files.walking() && bodyLength > 0 && !bodyAddress.isExternal()) {
            if (std::optional<QByteArray> bytes = files.read(bodyAddress, 0, bodyLength))
                entry.body.held = std::move(*bytes);
        }
    }
    entry.entryKey = keyOf(address);
    return entry;
}

std::optional<CacheEntry> BlockfileCacheFolder::referenceOf(BlockfileDataFiles& files, BlockfileAddress address,
                                                            const BlockfileEntry& record) const
{
    if (!record.isNormal() || (record.flags() & BlockfileEntry::sparseChildFlag))
        return std::nullopt;
    const std::optional<QByteArray> key = keyOf(files, record);
    const std::optional<QString> url = key ? ChromiumCacheKey::urlOf(*key) : std::nullopt;
    if (!url)
        return std::nullopt;
    CacheEntry entry;
    entry.url = *url;
    entry.sourceFolder = path_;
    entry.entryKey = keyOf(address);
    return entry;
}

std::optional<StoredBody> BlockfileCacheFolder::sparseBody(BlockfileDataFiles& files, const BlockfileIndex& index,
                                                           const BlockfileEntry& parent, const QByteArray& parentKey,
                                                           const QString& contentRange) const
{
    // A StoredBody is one contiguous byte range, so only a resource that one child holds whole from its
    // first byte can be offered.
    const std::optional<qint64> length = ChromiumHttpEntry::resourceLengthOf(contentRange);
    if (!length || *length <= 0 || *length > sparseChildSpan || parent.streamSize(bodyStream) != 0)
        return std::nullopt;
    const qint64 childBitmapBytes = 4; // children 0 to 31 of the parent; only child 0 matters here
    const std::optional<SparseHeader> parentHeader = sparseHeaderOf(files, parent, childBitmapBytes);
    if (!parentHeader || parentHeader->parentKeyLength != parentKey.size() || !bitIsSet(parentHeader->bitmap, 0))
        return std::nullopt;

    const QByteArray childKey = "Range_" + parentKey + ':' + QByteArray::number(parentHeader->signature, 16) + ":0";
    const std::optional<BlockfileEntry> child = findRecord(files, index, childKey);
    if (!child || !(child->flags() & BlockfileEntry::sparseChildFlag))
        return std::nullopt;
    const std::optional<SparseHeader> childHeader = sparseHeaderOf(files, *child, sparseBitmapSize);
    if (!childHeader || childHeader->signature != parentHeader->signature ||
        childHeader->parentKeyLength != parentKey.size())
        return std::nullopt;
    // Whole blocks are marked in the bitmap; the browser notes a last block written only in part apart.
    const qint64 wholeBlocks = *length / sparseBlockSize;
    const qint64 partialLength = *length % sparseBlockSize;
    for (qint64 block = 0; block < wholeBlocks; ++block) {
        if (!bitIsSet(childHeader->bitmap, block))
            return std::nullopt;
    }
    if (partialLength != 0 && !bitIsSet(childHeader->bitmap, wholeBlocks) &&
        !(childHeader->lastBlock == wholeBlocks && childHeader->lastBlockLength >= partialLength))
        return std::nullopt;

    const std::optional<BlockfileDataFiles::Location> location = files.locate(child->streamAddress(bodyStream));
    if (child->streamSize(bodyStream) < *length || !location || *length > location->capacity)
        return std::nullopt;
    return StoredBody{location->path, location->offset, *length, QString(), std::nullopt, {}, location->stamp};
}
