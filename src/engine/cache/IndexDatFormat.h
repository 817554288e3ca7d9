#pragma once

#include <QtGlobal>

// Fixed values of index.dat, the legacy Windows URL cache index (format 5.2, also written by Wine).
// Little-endian throughout; offsets in the file header count from the start of the file, offsets inside
// a record from the start of that record.
//
//   0x0000  header: signature (28 bytes, NUL-terminated), u32 file size, u32 first hash table,
//           u32 capacity in blocks, u32 blocks in use, u64 cache limit, u64 bytes in use,
//           u64 bytes in use by sticky entries, u32 folder count, 32 x {u32 files, 8-byte name}
//   0x0250  allocation bitmap: bit n (least significant first) is set while block n is in use
//   0x4000  blocks of 0x80 bytes; every record starts on one with u32 signature, u32 block count
//
// "HASH" records (0x20 blocks) are chained by u32 next table (+8) and u32 sequence number (+12) and
// hold slots from +16: u32 key (upper bits of the URL's hash | 6 flag bits), u32 record offset.
//
// "URL " record, one cache entry:
//   +16 u64 last access (FILETIME, UTC)   +32 u32 size, low   +36 u32 size, high
//   +52 u32 URL offset   +56 u8 cache folder   +60 u32 local name offset   +64 u32 entry type
//   +68 u32 head offset   +72 u32 head length   +76 u32 extension offset   +88 u32 use count
//   +0x68 the URL, NUL-terminated, then the local file name and the response head
//
// Freed blocks keep the records that were in them; only the slots and the bitmap say what is live.
struct IndexDatFormat
{
    static constexpr char nativeSignature[] = "Client UrlCache MMF Ver 5.2";
    static constexpr char wineSignature[] = "WINE URLCache Ver 0.2012001";
    static constexpr qint64 signatureSize = 28; // with its NUL

    static constexpr qint64 fileSizeField = 0x1C;
    static constexpr qint64 firstHashTableField = 0x20;
    static constexpr qint64 capacityField = 0x24;
    static constexpr qint64 blocksInUseField = 0x28;
    static constexpr qint64 bytesInUseField = 0x38;
    static constexpr qint64 stickyBytesInUseField = 0x40;
    static constexpr qint64 folderCountField = 0x48;
    static constexpr qint64 foldersOffset = 0x4C;
    static constexpr qint64 folderSize = 12; // u32 file count, then the name
    static constexpr qint64 folderNameSize = 8;
    static constexpr quint32 maxFolders = 32;
    static constexpr quint8 containerFolder = 0xFE; // the entry's file lies beside index.dat

    static constexpr qint64 bitmapOffset = 0x250;
    static constexpr qint64 blocksOffset = 0x4000;
    static constexpr qint64 blockSize = 0x80;
    static constexpr qint64 maxBlocks = (blocksOffset - bitmapOffset) * 8; // what the bitmap can describe
    static constexpr qint64 maxFileSize = blocksOffset + maxBlocks * blockSize;

    static constexpr quint32 hashSignature = 0x48534148; // "HASH"
    static constexpr qint64 hashTableBlocks = 0x20;
    static constexpr quint32 urlSignature = 0x204C5255; // "URL "
    static constexpr qint64 hashTableNextField = 8;
    static constexpr qint64 hashTableSequenceField = 12;
    static constexpr qint64 hashTableSlotsOffset = 16;
    static constexpr qint64 slotSize = 8;
    static constexpr quint32 hashBuckets = 64;
    static constexpr quint32 slotsPerBucket = 7;

    static constexpr quint32 slotFlagMask = 0x3F; // the low bits of a key that are not hash
    static constexpr quint32 slotFlagUrl = 0;
    static constexpr quint32 slotFlagLocked = 2; // still a live entry
    static constexpr quint32 deletedSlotKey = 1;
    static constexpr quint32 freeSlotKey = 3;
    static constexpr quint32 uninitializedKeys[] = {0x0BADF00D, 0xDEADBEEF};

    static constexpr qint64 recordBlocksField = 4;
    static constexpr qint64 lastAccessField = 16;
    static constexpr qint64 sizeLowField = 32;
    static constexpr qint64 sizeHighField = 36;
    static constexpr qint64 urlOffsetField = 52;
    static constexpr qint64 cacheFolderField = 56;
    static constexpr qint64 localNameOffsetField = 60;
    static constexpr qint64 entryTypeField = 64;
    static constexpr qint64 headOffsetField = 68;
    static constexpr qint64 headSizeField = 72;
    static constexpr qint64 extensionOffsetField = 76;
    static constexpr qint64 useCountField = 88;
    static constexpr qint64 urlRecordFixedSize = 0x68;
    // 64 KiB: far more than a URL, a file name and a response head take, and a bound on the work that
    // a forged block count can cause.
    static constexpr qint64 maxRecordBlocks = 0x200;

    static constexpr quint32 stickyEntry = 0x4;
    static constexpr quint32 sparseEntry = 0x10000; // a partial response
    static constexpr quint32 cookieEntry = 0x100000;
    static constexpr quint32 visitedLinkEntry = 0x200000;
    static constexpr quint32 pendingDeleteEntry = 0x400000;

    static constexpr quint64 fileTimeTicksTo1970 = 116'444'736'000'000'000ull; // 100-ns ticks since 1601
};
