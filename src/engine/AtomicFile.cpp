#include "engine/AtomicFile.h"

#include <QFile>
#include <QFileInfo>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace
{

bool writeAll(int fd, const char* data, qint64 size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, static_cast<size_t>(size));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= n;
    }
    return true;
}

// An open temporary file beside a destination; removed again unless renamed into place.
class TemporaryBeside
{
public:
    explicit TemporaryBeside(const QString& destination) : target_(QFile::encodeName(destination))
    {
        static std::atomic<quint64> counter{0};
        // Short and fixed in length, so that it fits wherever the destination's own name fits. Hidden,
        // so that a file manager showing the folder meanwhile does not list it.
        const QString name = QStringLiteral(".webgleaner-%1-%2.part").arg(::getpid()).arg(++counter);
        path_ = QFile::encodeName(QFileInfo(destination).path() + QLatin1Char('/') + name);
        fd_ = ::open(path_.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    }

    ~TemporaryBeside()
    {
        if (fd_ >= 0)
            ::close(fd_);
        if (!renamed_ && fd_ != -1)
            ::unlink(path_.constData());
    }

    TemporaryBeside(const TemporaryBeside&) = delete;
    TemporaryBeside& operator=(const TemporaryBeside&) = delete;

    int fd() const { return fd_; }

    // Closes the file and renames it over the destination.
    bool commit()
    {
        const int fd = fd_;
        fd_ = -2; // closed, but still to be removed on failure
        if (::close(fd) != 0 || std::rename(path_.constData(), target_.constData()) != 0)
            return false;
        renamed_ = true;
        return true;
    }

private:
    QByteArray target_;
    QByteArray path_;
    int fd_ = -1;
    bool renamed_ = false;
};

// The kernel copies without the data passing through this process where it can (same file system).
bool copyContents(int from, int to)
{
    bool inKernel = true;
    char buffer[1 << 16];
    for (;;) {
        if (inKernel) {
            const ssize_t n = ::copy_file_range(from, nullptr, to, nullptr, 1 << 30, 0);
            if (n == 0)
                return true;
            if (n > 0)
                continue;
            if (errno == EINTR)
                continue;
            if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP)
                return false;
            inKernel = false; // nothing was copied yet by the failed call: go on where the offsets are
        }
        const ssize_t n = ::read(from, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n == 0;
        if (!writeAll(to, buffer, n))
            return false;
    }
}

} // namespace

bool AtomicFile::write(const QString& destination, const QByteArray& content)
{
    TemporaryBeside file(destination);
    return file.fd() >= 0 && writeAll(file.fd(), content.constData(), content.size()) && file.commit();
}

bool AtomicFile::copy(const QString& source, const QString& destination)
{
    const int from = ::open(QFile::encodeName(source).constData(), O_RDONLY | O_CLOEXEC);
    if (from < 0)
        return false;
    bool copied = false;
    {
        TemporaryBeside file(destination);
        copied = file.fd() >= 0 && copyContents(from, file.fd()) && file.commit();
    }
    ::close(from);
    return copied;
}
