#pragma once

#include "engine/cache/StoredBody.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>
#include <QList>
#include <QString>
#include <fcntl.h>
#include <optional>

// Serves byte ranges of one file to a parser. Cache files are small records around a body that mostly
// need not be read, so a small file is read whole and a large one has its first and last few KiB read
// once; a range outside those is read on demand. The file stays open only as long as this object.
class HeadTailFileReader
{
public:
    // `path` is absolute, or relative to the open folder `folderFd` (AT_FDCWD: the working folder). Anything
    // but a regular file is not opened (see FileDescriptor::openRegular).
    explicit HeadTailFileReader(const QString& path, int folderFd = AT_FDCWD);
    // A file read whole already, with the status taken from it when it was open (see BatchFileReader).
    HeadTailFileReader(const struct stat& status, QByteArray wholeFile);
    ~HeadTailFileReader();
    HeadTailFileReader(const HeadTailFileReader&) = delete;
    HeadTailFileReader& operator=(const HeadTailFileReader&) = delete;

    // Whether there is a regular file to read (opened here, or read whole beforehand).
    bool isOpen() const { return fd_ >= 0 || readBefore_; }
    qint64 size() const { return size_; }
    QDateTime modified() const; // UTC
    // The file's identity as opened, for a body read later to check it still has the same file.
    StoredBody::FileStamp stamp() const { return stamp_; }

    // Exactly `length` bytes at `offset`; std::nullopt when they are not all in the file.
    std::optional<QByteArray> read(qint64 offset, qint64 length);

    // The same, but only when the bytes were read already: for checks worth doing when they are free.
    std::optional<QByteArray> readIfInMemory(qint64 offset, qint64 length) const;

    // Like read(), without copying: the view stays valid while this reader lives, or, after
    // takeBuffers(), while the buffers taken live.
    std::optional<QByteArrayView> view(qint64 offset, qint64 length);
    std::optional<QByteArrayView> viewIfInMemory(qint64 offset, qint64 length) const;

    // Everything read so far, for a parser to keep with the views it took instead of copying them out.
    // The buffers are never changed again, so views into them stay valid wherever the list is copied.
    QList<QByteArray> takeBuffers();

    // False when the file grew, shrank or was written since it was opened: what was read may mix two
    // versions of it. A small file read whole when opened counts as unchanged.
    bool unchangedSinceOpen();

private:
    // Exactly `length` bytes at `offset` from the file itself, or an empty result on a short read.
    QByteArray readFromFile(qint64 offset, qint64 length) const;

    int fd_ = -1;
    qint64 size_ = 0;
    qint64 modifiedNs_ = 0; // since the epoch
    StoredBody::FileStamp stamp_;
    QByteArray head_;         // the first bytes of the file, or all of it
    QByteArray tail_;         // the last bytes of the file when head_ does not hold them
    QList<QByteArray> extra_; // ranges view() had to read beyond head_ and tail_
    bool readWhole_ = false;  // head_ holds the whole file, read right after the status was taken
    bool readBefore_ = false; // read whole by someone else: no file to read more from
};
