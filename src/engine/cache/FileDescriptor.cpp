#include "engine/cache/FileDescriptor.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <unistd.h>
#include <utility>

FileDescriptor::~FileDescriptor()
{
    if (fd_ >= 0)
        ::close(fd_);
}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept
{
    if (this != &other) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = other.release();
    }
    return *this;
}

int FileDescriptor::release()
{
    return std::exchange(fd_, -1);
}

FileDescriptor FileDescriptor::openRegular(const char* path, struct stat& status, int folderFd)
{
    status.st_mode = 0;
    FileDescriptor file(::openat(folderFd, path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!file.isOpen())
        return file;
    if (::fstat(file.get(), &status) != 0) {
        status.st_mode = 0;
        return FileDescriptor();
    }
    if (!S_ISREG(status.st_mode))
        return FileDescriptor();
    return file;
}

FileDescriptor FileDescriptor::openRegular(const QString& path, struct stat& status, int folderFd)
{
    return openRegular(QFile::encodeName(path).constData(), status, folderFd);
}

std::optional<QByteArray> FileDescriptor::readStart(const QString& path, qint64 maxBytes)
{
    struct stat status;
    const FileDescriptor file = openRegular(path, status);
    if (!file.isOpen() || maxBytes < 0)
        return std::nullopt;
    QByteArray bytes(std::min<qint64>(status.st_size, maxBytes), Qt::Uninitialized);
    bytes.truncate(readAt(file.get(), bytes.data(), bytes.size(), 0));
    return bytes;
}

bool FileDescriptor::close()
{
    const int fd = std::exchange(fd_, -1);
    return fd >= 0 && ::close(fd) == 0;
}

namespace
{

// Repeats `transfer(done)`, a read or write of what is left after `done` bytes that returns the bytes it
// moved, until `length` bytes have moved or a call fails; interrupted calls are retried. The bytes moved.
template <typename Transfer>
qint64 transferAll(qint64 length, const Transfer& transfer)
{
    qint64 done = 0;
    while (done < length) {
        const ssize_t moved = transfer(done);
        if (moved < 0 && errno == EINTR)
            continue;
        if (moved <= 0)
            break;
        done += moved;
    }
    return done;
}

} // namespace

qint64 FileDescriptor::readAt(int fd, char* buffer, qint64 length, qint64 offset)
{
    return transferAll(
        length, [&](qint64 done) { return ::pread(fd, buffer + done, size_t(length - done), off_t(offset + done)); });
}

bool FileDescriptor::writeAll(QByteArrayView bytes) const
{
    return transferAll(bytes.size(), [&](qint64 done) {
               return ::write(fd_, bytes.data() + done, size_t(bytes.size() - done));
           }) == bytes.size();
}

bool FileDescriptor::writeAt(int fd, QByteArrayView bytes, qint64 offset)
{
    return transferAll(bytes.size(), [&](qint64 done) {
               return ::pwrite(fd, bytes.data() + done, size_t(bytes.size() - done), off_t(offset + done));
           }) == bytes.size();
}
