#pragma once

#include <QByteArrayView>
#include <QString>

// An open POSIX file, closed when this goes out of scope, with the whole-buffer reads and writes the cache
// readers need. Plain descriptors rather than QFile: a walk opens tens of thousands of files, and QFile
// costs more per file than the few KiB read from each.
class FileDescriptor
{
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor();
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

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
