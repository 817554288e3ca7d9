#include "engine/save/FileSink.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

FileSink::FileSink(int fd, const std::atomic<bool>& abort) : fd_(fd), abort_(abort)
{
    buffer_.reserve(kBufferSize);
}

bool FileSink::write(QByteArrayView bytes)
{
    if (failed_ || aborted()) {
        failed_ = true;
        return false;
    }
    // A large chunk goes straight to the file rather than through the buffer: copying it there first
    // would only cost time.
    if (bytes.size() >= kBufferSize / 2)
        return flush() && writeOut(bytes);
    if (buffer_.size() + bytes.size() > kBufferSize && !flush())
        return false;
    buffer_.append(bytes);
    return true;
}

bool FileSink::flush()
{
    if (failed_)
        return false;
    const bool written = buffer_.isEmpty() || writeOut(buffer_);
    // Emptied without giving up its room (clear() would free it, and the next write allocate it again).
    buffer_.resize(0);
    return written;
}

bool FileSink::flushToDisk()
{
    if (!flush())
        return false;
    if (::fdatasync(fd_) != 0) {
        error_ = QString::fromLocal8Bit(std::strerror(errno));
        failed_ = true;
        return false;
    }
    return true;
}

bool FileSink::writeOut(QByteArrayView bytes)
{
    const char* data = bytes.data();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd_, data, static_cast<size_t>(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error_ = QString::fromLocal8Bit(std::strerror(n < 0 ? errno : ENOSPC));
            failed_ = true;
            return false;
        }
        data += n;
        left -= n;
    }
    return true;
}
