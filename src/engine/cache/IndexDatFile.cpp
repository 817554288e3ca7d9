#include "engine/cache/IndexDatFile.h"

#include "engine/cache/IndexDatFormat.h"
#include "engine/cache/IndexDatUrlHash.h"
#include "engine/cache/LittleEndianReader.h"

#include <QtEndian>
#include <algorithm>
#include <vector>

namespace
{

using Format = IndexDatFormat;

bool isLiveSlotKey(quint32 key)
{
    if (key == Format::deletedSlotKey || key == Format::freeSlotKey)
        return false;
    if (std::find(std::begin(Format::uninitializedKeys), std::end(Format::uninitializedKeys), key) !=
        std::end(Format::uninitializedKeys))
        return false;
    // Redirects, groups and anything else the flags may mean are not cache entries.
    const quint32 flags = key & Format::slotFlagMask;
    return flags == Format::slotFlagUrl || flags == Format::slotFlagLocked;
}

// The NUL-terminated string at `offset` of `record`; it must start past the fixed fields and end inside.
std::optional<QByteArrayView> stringAt(QByteArrayView record, quint32 offset)
{
    if (offset < Format::urlRecordFixedSize || offset >= record.size())
        return std::nullopt;
    const qsizetype end = record.indexOf('\0', offset);
    if (end < 0)
        return std::nullopt;
    return record.sliced(offset, end - offset);
}

QByteArray littleEndian32(quint32 value)
{
    QByteArray bytes(4, Qt::Uninitialized);
    qToLittleEndian(value, bytes.data());
    return bytes;
}

QByteArray littleEndian64(quint64 value)
{
    QByteArray bytes(8, Qt::Uninitialized);
    qToLittleEndian(value, bytes.data());
    return bytes;
}

} // namespace

bool IndexDatFile::hasKnownSignature(QByteArrayView head)
{
    if (head.size() < Format::signatureSize)
        return false;
    // Both signatures are 27 characters, and the NUL after them is part of the field.
    const QByteArrayView signature = head.first(Format::signatureSize);
    return signature == QByteArrayView(Format::nativeSignature, Format::signatureSize) ||
           signature == QByteArrayView(Format::wineSignature, Format::signatureSize);
}

IndexDatFile::IndexDatFile(QByteArray bytes) : bytes_(std::move(bytes)) {}

std::optional<IndexDatFile> IndexDatFile::parse(QByteArray bytes)
{
    // The header and the whole bitmap come before the first block.
    if (bytes.size() < Format::blocksOffset || !hasKnownSignature(bytes))
        return std::nullopt;
    IndexDatFile file(std::move(bytes));
    const LittleEndianReader header(file.bytes_);
    file.folderCount_ = *header.u32(Format::folderCountField);
    if (file.folderCount_ > Format::maxFolders)
        return std::nullopt;
    const qint64 blocksInFile = (file.bytes_.size() - Format::blocksOffset) / Format::blockSize;
    file.usableBlocks_ = std::min({qint64(*header.u32(Format::capacityField)), Format::maxBlocks, blocksInFile});
    file.readHashTables();
    return file;
}

bool IndexDatFile::blocksAllocated(qint64 offset, qint64 blocks) const
{
    if (offset < Format::blocksOffset || (offset - Format::blocksOffset) % Format::blockSize != 0 || blocks < 1)
        return false;
    const qint64 first = (offset - Format::blocksOffset) / Format::blockSize;
    if (first >= usableBlocks_ || blocks > usableBlocks_ - first)
        return false;
    // A whole byte at a time where the range covers it: a record's bits are checked for every slot
    // that leads to it.
    for (qint64 block = first; block < first + blocks;) {
        const quint8 bits = static_cast<quint8>(bytes_[Format::bitmapOffset + block / 8]);
        if (block % 8 == 0 && first + blocks - block >= 8) {
            if (bits != 0xFF)
                return false;
            block += 8;
        } else {
            if ((bits & (1u << (block % 8))) == 0)
                return false;
            ++block;
        }
    }
    return true;
}

void IndexDatFile::readHashTables()
{
    const LittleEndianReader reader(bytes_);
    quint32 offset = *reader.u32(Format::firstHashTableField);
    // Each table must carry the next sequence number, so a chain that comes back to a table stops there,
    // and no two tables may share blocks, which bounds the slots a forged chain can make one visit.
    std::vector<bool> blocksInTables(usableBlocks_);
    for (quint32 sequence = 0; offset != 0; ++sequence) {
        if (reader.u32(offset) != Format::hashSignature ||
            reader.u32(offset + Format::hashTableSequenceField) != sequence ||
            reader.u32(offset + Format::recordBlocksField) != Format::hashTableBlocks ||
            !blocksAllocated(offset, Format::hashTableBlocks))
            return;
        const qint64 firstBlock = (offset - Format::blocksOffset) / Format::blockSize;
        for (qint64 block = firstBlock; block < firstBlock + Format::hashTableBlocks; ++block) {
            if (blocksInTables[block])
                return;
            blocksInTables[block] = true;
        }
        hashTables_.append(
            {offset, (Format::hashTableBlocks * Format::blockSize - Format::hashTableSlotsOffset) / Format::slotSize});
        offset = *reader.u32(offset + Format::hashTableNextField);
    }
}

qint64 IndexDatFile::slotOffset(const HashTable& table, qint64 slot)
{
    return table.offset + Format::hashTableSlotsOffset + slot * Format::slotSize;
}

std::optional<quint32> IndexDatFile::liveRecordOffsetAt(qint64 slotOffset) const
{
    const LittleEndianReader file(bytes_);
    const std::optional<quint32> key = file.u32(slotOffset);
    const std::optional<quint32> offset = file.u32(slotOffset + 4);
    if (!key || !offset || !isLiveSlotKey(*key))
        return std::nullopt;
    return offset;
}

std::optional<IndexDatUrlRecord> IndexDatFile::urlRecordAt(qint64 slotOffset) const
{
    const LittleEndianReader file(bytes_);
    const std::optional<quint32> offset = liveRecordOffsetAt(slotOffset);
    if (!offset || file.u32(*offset) != Format::urlSignature)
        return std::nullopt;
    const std::optional<quint32> blocks = file.u32(qint64(*offset) + Format::recordBlocksField);
    if (!blocks || *blocks > Format::maxRecordBlocks || !blocksAllocated(*offset, *blocks))
        return std::nullopt;

    const QByteArrayView record = QByteArrayView(bytes_).sliced(*offset, qint64(*blocks) * Format::blockSize);
    const LittleEndianReader fields(record);
    IndexDatUrlRecord url;
    url.slotOffset = slotOffset;
    url.offset = *offset;
    url.blocks = *blocks;
    // The fixed fields fit in the smallest record, one block.
    const quint32 sizeHigh = *fields.u32(Format::sizeHighField);
    if (sizeHigh > 0x7FFFFFFF)
        return std::nullopt;
    url.size = qint64(sizeHigh) << 32 | *fields.u32(Format::sizeLowField);
    url.lastAccess = *fields.u64(Format::lastAccessField);
    url.cacheFolder = static_cast<quint8>(record[Format::cacheFolderField]);
    url.entryType = *fields.u32(Format::entryTypeField);
    url.useCount = *fields.u32(Format::useCountField);

    const std::optional<QByteArrayView> address = stringAt(record, *fields.u32(Format::urlOffsetField));
    if (!address || address->isEmpty())
        return std::nullopt;
    url.url = *address;
    if (const quint32 nameOffset = *fields.u32(Format::localNameOffsetField)) {
        const std::optional<QByteArrayView> name = stringAt(record, nameOffset);
        if (!name)
            return std::nullopt;
        url.localName = *name;
    }
    if (const quint32 headOffset = *fields.u32(Format::headOffsetField)) {
        const std::optional<QByteArrayView> head = fields.bytes(headOffset, *fields.u32(Format::headSizeField));
        if (!head || headOffset < Format::urlRecordFixedSize)
            return std::nullopt;
        url.head = *head;
    }
    const quint32 extensionOffset = *fields.u32(Format::extensionOffsetField);
    if (extensionOffset != 0 && (extensionOffset < Format::urlRecordFixedSize || extensionOffset >= record.size()))
        return std::nullopt;
    return url;
}

QList<qint64> IndexDatFile::slotsHolding(QByteArrayView url) const
{
    const LittleEndianReader reader(bytes_);
    QList<qint64> found;
    const auto consider = [&](qint64 slotOffset) {
        // The stored URL is compared first: whole records are checked only for the few that match.
        const std::optional<quint32> offset = liveRecordOffsetAt(slotOffset);
        const std::optional<quint32> urlOffset =
            offset ? reader.u32(qint64(*offset) + Format::urlOffsetField) : std::nullopt;
        const std::optional<QByteArrayView> stored =
            urlOffset ? reader.bytes(qint64(*offset) + *urlOffset, url.size() + 1) : std::nullopt;
        if (!stored || stored->first(url.size()) != url || stored->back() != '\0')
            return;
        const std::optional<IndexDatUrlRecord> record = urlRecordAt(slotOffset);
        if (record && record->url == url && !found.contains(slotOffset))
            found.append(slotOffset);
    };
    const quint32 hash = IndexDatUrlHash::of(url);
    const qint64 firstSlot = qint64(hash % Format::hashBuckets) * Format::slotsPerBucket;
    for (const HashTable& table : hashTables_) {
        // Tables too small for the bucket layout are left to the full search.
        if (table.slotCount < qint64(Format::hashBuckets * Format::slotsPerBucket))
            continue;
        for (qint64 slot = firstSlot; slot < firstSlot + Format::slotsPerBucket; ++slot) {
            const std::optional<quint32> key = reader.u32(slotOffset(table, slot));
            if (key && *key >> 6 == hash >> 6)
                consider(slotOffset(table, slot));
        }
    }
    if (!found.isEmpty())
        return found;
    for (const HashTable& table : hashTables_) {
        for (qint64 slot = 0; slot < table.slotCount; ++slot)
            consider(slotOffset(table, slot));
    }
    return found;
}

std::optional<QByteArrayView> IndexDatFile::folderName(quint8 index) const
{
    if (index == Format::containerFolder)
        return QByteArrayView();
    if (index >= folderCount_)
        return std::nullopt;
    QByteArrayView name =
        QByteArrayView(bytes_).sliced(Format::foldersOffset + index * Format::folderSize + 4, Format::folderNameSize);
    if (const qsizetype nul = name.indexOf('\0'); nul >= 0)
        name.truncate(nul);
    if (name.isEmpty() || name == "." || name == ".." || name.contains('/') || name.contains('\\'))
        return std::nullopt;
    return name;
}

bool IndexDatFile::isEditable() const
{
    const LittleEndianReader header(bytes_);
    const qint64 capacity = *header.u32(Format::capacityField);
    return *header.u32(Format::fileSizeField) == bytes_.size() && capacity <= Format::maxBlocks &&
           Format::blocksOffset + capacity * Format::blockSize <= bytes_.size();
}

IndexDatFile::Edit IndexDatFile::write(qint64 offset, QByteArrayView bytes)
{
    // Every caller writes at an offset it has just read from, but a write never grows the file.
    Q_ASSERT(offset >= 0 && offset + bytes.size() <= bytes_.size());
    bytes_.replace(offset, bytes.size(), bytes);
    return {offset, bytes.toByteArray()};
}

QList<IndexDatFile::Edit> IndexDatFile::removeEntry(qint64 slotOffset)
{
    const std::optional<IndexDatUrlRecord> record = urlRecordAt(slotOffset);
    if (!record || !isEditable())
        return {};
    // Copied out first: the views of `record` point into bytes_, which the writes change.
    const qint64 firstBlock = (record->offset - Format::blocksOffset) / Format::blockSize;
    const qint64 blocks = record->blocks;
    const qint64 size = record->size;
    const bool sticky = record->entryType & Format::stickyEntry;
    const quint8 folder = record->cacheFolder;

    QList<Edit> edits;
    edits.append(write(slotOffset, littleEndian32(Format::deletedSlotKey)));

    const qint64 firstByte = Format::bitmapOffset + firstBlock / 8;
    const qint64 lastByte = Format::bitmapOffset + (firstBlock + blocks - 1) / 8;
    QByteArray bitmap = bytes_.mid(firstByte, lastByte - firstByte + 1);
    for (qint64 block = firstBlock; block < firstBlock + blocks; ++block)
        bitmap[block / 8 - firstBlock / 8] = char(quint8(bitmap[block / 8 - firstBlock / 8]) & ~(1u << (block % 8)));
    edits.append(write(firstByte, bitmap));

    // Counts never go below zero, whatever a damaged header says.
    const LittleEndianReader header(bytes_);
    const quint32 blocksInUse = *header.u32(Format::blocksInUseField);
    edits.append(write(Format::blocksInUseField, littleEndian32(blocksInUse - std::min<quint32>(blocksInUse, blocks))));
    // Sticky entries are counted apart, as exempt from clean-up.
    const qint64 usageField = sticky ? Format::stickyBytesInUseField : Format::bytesInUseField;
    const quint64 usage = *header.u64(usageField);
    edits.append(write(usageField, littleEndian64(usage - std::min<quint64>(usage, quint64(size)))));
    if (folder < folderCount_) {
        const qint64 filesField = Format::foldersOffset + folder * Format::folderSize;
        if (const quint32 files = *header.u32(filesField); files > 0)
            edits.append(write(filesField, littleEndian32(files - 1)));
    }
    return edits;
}
