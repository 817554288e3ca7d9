#pragma once

#include <QString>
#include <QtGlobal>

// A 32-bit cache address of Chromium's blockfile cache. It names either an external file "f_<n as six or
// more hex digits>" that holds one stream whole, or a run of 1 to 4 blocks in the block file "data_<n>":
//   bit 31       initialized (an address of 0 names nothing)
//   bits 28..30  file type: 0 external, 1 rankings (36-byte blocks), 2, 3, 4 blocks of 256, 1024, 4096 bytes
//   external     bits 0..27 the file number
//   blocks       bits 26..27 reserved (0), bits 24..25 block count - 1, bits 16..23 file number,
//                bits 0..15 first block
// Values come from untrusted files, so every kind this reader does not know is reported as invalid rather
// than interpreted.
class BlockfileAddress
{
public:
    enum class FileType
    {
        External = 0,
        Rankings = 1,
        Block256 = 2,
        Block1K = 3,
        Block4K = 4,
    };

    constexpr BlockfileAddress() = default;
    constexpr explicit BlockfileAddress(quint32 value) : value_(value) {}

    constexpr quint32 value() const { return value_; }
    constexpr bool isInitialized() const { return (value_ & 0x80000000u) != 0; }

    // Initialized, of a file type above and, for blocks, with its reserved bits clear.
    bool isValid() const;

    // Only meaningful for a valid address.
    FileType fileType() const { return FileType((value_ >> 28) & 0x7); }
    bool isExternal() const { return fileType() == FileType::External; }
    int externalFileNumber() const { return int(value_ & 0x0fffffff); }
    int blockFileNumber() const { return int((value_ >> 16) & 0xff); }
    int firstBlock() const { return int(value_ & 0xffff); }
    int blockCount() const { return int((value_ >> 24) & 0x3) + 1; }

    // The size of one block of the address's type; 0 for an external file.
    qint64 blockSize() const;

    // "data_<n>" or "f_<n>", the name of the file inside the cache folder.
    QString fileName() const;

    // The block size a block file of this type declares in its header, for the types that have blocks.
    static qint64 blockSizeOf(FileType type);

    friend constexpr bool operator==(BlockfileAddress, BlockfileAddress) = default;

private:
    quint32 value_ = 0;
};
