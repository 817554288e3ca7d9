#pragma once

#include "engine/cache/BlockfileAddress.h"
#include "engine/cache/FileDescriptor.h"
#include "engine/cache/StoredBody.h"

#include <QByteArray>
#include <QString>
#include <array>
#include <memory>
#include <optional>
#include <unordered_map>

// The block files ("data_<n>") and external files ("f_<n>") of one blockfile cache folder, read by cache
// address. An address is checked against the header of the block file it names (magic, version, its own
// number, block size, capacity) and against the file's size before a byte is read. Block files are opened
// on first use and stay open for the life of this object; of the external files, which can be thousands,
// only the last one used does. Not thread-safe: every walk and lookup has its own.
class BlockfileDataFiles
{
public:
    enum class Access
    {
        // A few records: each read goes to the file.
        Scattered,
        // A walk, which reads a record, a rankings node and a response head for every entry, spread over the
        // block files in hash order: block files are read in large chunks that are kept (up to a bound), so
        // that the walk costs a few big reads instead of several small ones an entry.
        Walk,
    };

    // Where the record or stream an address names lies.
    struct Location
    {
        QString path;
        qint64 offset = 0;   // of its first byte in that file
        qint64 capacity = 0; // bytes it may hold: its blocks, or the whole external file
        // An external file holds one stream alone, so what it is now tells whether it still holds that one.
        std::optional<StoredBody::FileStamp> stamp;
    };

    BlockfileDataFiles(const QString& folder, Access access);
    ~BlockfileDataFiles();

    // std::nullopt for an invalid address, a missing or damaged file, and blocks beyond the file's
    // capacity or its end.
    std::optional<Location> locate(BlockfileAddress address);

    // `length` bytes from `offset` within what `address` names; std::nullopt when they do not all lie
    // inside it or cannot be read.
    std::optional<QByteArray> read(BlockfileAddress address, qint64 offset, qint64 length);

    // Whether reads of blocks come from the large chunks a walk keeps (Access::Walk).
    bool walking() const { return access_ == Access::Walk; }

    // A hint, when walking, that `length` bytes from `offset` within what `address` names will be read
    // soon: if they lie in a chunk held already, the processor starts fetching them into its caches, so
    // that the walk waits on memory less. Records are visited in hash order, all over the block files.
    void prefetch(BlockfileAddress address, qint64 offset, qint64 length);

private:
    struct OpenFile
    {
        FileDescriptor file;
        QString path; // file's name, kept: every Location a walk makes names it
        qint64 size = 0;
        StoredBody::FileStamp stamp;
        qint64 blockSize = 0;  // 0 for an external file
        qint64 blockCount = 0; // the capacity the block file's header declares
        bool usable = false;
        std::unordered_map<qint64, QByteArray> chunks; // by chunk number, when walking
    };

    OpenFile* fileFor(BlockfileAddress address);
    // The file `address` names, usable once open; a block file also once its header checks out.
    std::unique_ptr<OpenFile> openFile(BlockfileAddress address) const;
    std::unique_ptr<OpenFile> openBlockFile(BlockfileAddress address) const;
    std::optional<QByteArray> readDirectly(OpenFile& file, qint64 offset, qint64 length) const;
    std::optional<QByteArray> readThroughChunks(OpenFile& file, qint64 offset, qint64 length);

    const QString folder_;
    const Access access_;
    // By file number; a file found unusable stays here too, so that it is tried once.
    std::array<std::unique_ptr<OpenFile>, 256> blockFiles_;
    std::unique_ptr<OpenFile> lastExternalFile_;
    int lastExternalNumber_ = -1;
    qint64 chunkBytes_ = 0; // held in all block files' chunks
};
