#include "engine/save/AtomicFile.h"

#include "engine/save/TemporaryBesideFile.h"

#include <QFile>
#include <QFileInfo>
#include <cerrno>
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
    TemporaryBesideFile file(QFileInfo(destination).path(), TemporaryBesideFile::Naming::Named);
    return file.isOpen() && writeAll(file.fd(), content.constData(), content.size()) && file.commitAs(destination);
}

bool AtomicFile::copy(const QString& source, const QString& destination)
{
    const int from = ::open(QFile::encodeName(source).constData(), O_RDONLY | O_CLOEXEC);
    if (from < 0)
        return false;
    bool copied = false;
    {
        TemporaryBesideFile file(QFileInfo(destination).path(), TemporaryBesideFile::Naming::Named);
        copied = file.isOpen() && copyContents(from, file.fd()) && file.commitAs(destination);
    }
    ::close(from);
    return copied;
}
