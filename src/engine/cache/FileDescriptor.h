#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>

// An open POSIX file, closed when this goes out of scope, with the whole-buffer reads and writes the cache
// readers need. Plain descriptors rather than QFile: a walk opens tens of thousands of files, and QFile
// costs more per file than the few KiB read from each.
class FileDescriptor
{
public:
    explicit FileDescriptor(int fd = -1) : fd_(fd) {}
    ~FileDescriptor();
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;

    // Opens `path` (absolute, or relative to the open folder `folderFd`) for reading, only if it is a
    // regular file. Without blocking: a FIFO or device put where a cache file should be would stall the
    // open or the first read for ever. The check is made on the opened file, so a swap cannot slip past
    // it. `status` gets the file's status; when the file opened but is not regular, the result is closed
    // and status.st_mode tells what it was (it is 0 when the open itself failed, errno telling why).
    static FileDescriptor openRegular(const char* path, struct stat& status, int folderFd = AT_FDCWD);
    static FileDescriptor openRegular(const QString& path, struct stat& status, int folderFd = AT_FDCWD);

    // At most `maxBytes` from the start of the regular file at `path` (fewer when it is shorter);
    // std::nullopt when it is not a regular file or cannot be read.
    static std::optional<QByteArray> readStart(const QString& path, qint64 maxBytes);

    // Gives up ownership: the descriptor is the caller's to close.
    int release();

    int get() const { return fd_; }
    bool isOpen() const { return fd_ >= 0; }

    // Closes now, reporting whether everything written reached the file system.
    bool close();

    // Exactly `length` bytes at `offset` of `fd` into `buffer`, retrying interrupted and short reads;
    // the number of bytes read, which is less than `length` only at the end of the file or on an error.
    static qint64 readAt(int fd, char* buffer, qint64 length, qint64 offset);

    // All of `bytes`, retrying interrupted and short writes; false on an error.
    bool writeAll(QByteArrayView bytes) const;
    // All of `bytes` at `offset` of `fd`, leaving the file position alone; false on an error.
    static bool writeAt(int fd, QByteArrayView bytes, qint64 offset);

private:
    int fd_;
};
