#pragma once

#include "engine/cache/IndexDatUrlRecord.h"

#include <QByteArray>
#include <QList>
#include <optional>

// The bytes of one index.dat file (see IndexDatFormat) and the checks that decide what in them can be
// believed. Every field is decoded from the bytes when it is asked for and checked against the file:
// a slot, record or table that fails a check is treated as absent, never read past.
//
// Live entries are reached only through the hash-table chain, because freed blocks keep the records
// that were in them. The chain ends at the first table that is misplaced, unallocated, of another kind
// or out of sequence or that shares blocks with an earlier one, so a chain that loops ends too.
class IndexDatFile
{
public:
    struct HashTable
    {
        qint64 offset = 0;    // of the "HASH" record
        qint64 slotCount = 0; // slots that fit in its blocks
    };

    // Bytes to write at an offset of the file.
    struct Edit
    {
        qint64 offset = 0;
        QByteArray bytes;
    };

    // True when `head` (the first bytes of a file) starts with a signature of the format this reads.
    static bool hasKnownSignature(QByteArrayView head);

    // std::nullopt when `bytes` are not an index.dat of a known version or cannot hold its header.
    static std::optional<IndexDatFile> parse(QByteArray bytes);

    const QByteArray& bytes() const { return bytes_; }

    // The chain, first table first: enumeration visits their slots in this order.
    const QList<HashTable>& hashTables() const { return hashTables_; }

    static qint64 slotOffset(const HashTable& table, qint64 slot);

    // The record offset held by the slot at `slotOffset` when the slot is in use for an entry (not free,
    // deleted or a redirect); nothing about the record is checked.
    std::optional<quint32> liveRecordOffsetAt(qint64 slotOffset) const;

    // The live URL record the slot at `slotOffset` leads to; std::nullopt for a free, deleted or redirect
    // slot, and for a record that is unallocated, of another kind or damaged.
    std::optional<IndexDatUrlRecord> urlRecordAt(qint64 slotOffset) const;

    // The slots leading to live URL records stored under exactly these bytes. The URL's hash names the
    // bucket to search in each table; only when that finds nothing is every slot compared, since the
    // platform's own hash may treat a trailing '/' differently from the one these files were checked with.
    QList<qint64> slotsHolding(QByteArrayView url) const;

    // The name of cache folder `index`, empty for IndexDatFormat::containerFolder; std::nullopt when the
    // header has no such folder or its name could lead out of the cache.
    std::optional<QByteArrayView> folderName(quint8 index) const;

    // True when the header agrees with the file well enough to edit it in place: its file-size field is
    // the real size and its capacity lies inside the file and the bitmap.
    bool isEditable() const;

    // Takes the entry that the slot at `slotOffset` leads to out of the file, as the platform's own
    // deletion does: the slot is marked deleted, the record's blocks are freed in the bitmap, the counts
    // of blocks, bytes and folder files in use go down; the record's bytes stay. Changes these bytes and
    // returns the writes that make the same change to the file, the slot first, so that a reader of a
    // half-written file never follows it into freed blocks. Empty when there is no live URL record there
    // or the file is not editable. Records read from this object before are invalid afterwards.
    QList<Edit> removeEntry(qint64 slotOffset);

private:
    explicit IndexDatFile(QByteArray bytes);

    bool blocksAllocated(qint64 offset, qint64 blocks) const;
    void readHashTables();
    Edit write(qint64 offset, QByteArrayView bytes);

    QByteArray bytes_;
    quint32 folderCount_ = 0;
    qint64 usableBlocks_ = 0; // blocks inside the capacity, the bitmap and the file alike
    QList<HashTable> hashTables_;
};
