#include "engine/TemporaryBesideFile.h"

#include <QFile>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

TemporaryBesideFile::TemporaryBesideFile(const QString& folder)
{
    static std::atomic<quint64> counter{0};
    // Short and fixed in length, so that it fits wherever a destination's own name fits. Hidden, so that
    // a file manager showing the folder meanwhile does not list it.
    const QString name = QStringLiteral(".webgleaner-%1-%2.part").arg(::getpid()).arg(++counter);
    path_ = QFile::encodeName(folder + QLatin1Char('/') + name);
    fd_ = ::open(path_.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    created_ = fd_ >= 0;
    if (!created_)
        noteError();
}

TemporaryBesideFile::~TemporaryBesideFile()
{
    if (fd_ >= 0)
        ::close(fd_);
    if (created_ && !renamed_)
        ::unlink(path_.constData());
}

void TemporaryBesideFile::noteError()
{
    error_ = QString::fromLocal8Bit(std::strerror(errno));
}

bool TemporaryBesideFile::truncate()
{
    if (fd_ < 0 || ::ftruncate(fd_, 0) != 0 || ::lseek(fd_, 0, SEEK_SET) != 0) {
        noteError();
        return false;
    }
    return true;
}

bool TemporaryBesideFile::closeFile()
{
    if (fd_ < 0)
        return created_ && !renamed_ && !closeFailed_;
    const int fd = std::exchange(fd_, -1);
    // A failed close can be the first report of a write that did not reach the disk (NFS, quotas).
    if (::close(fd) != 0) {
        noteError();
        closeFailed_ = true;
        return false;
    }
    return true;
}

bool TemporaryBesideFile::commitAs(const QString& destination)
{
    if (!closeFile())
        return false;
    if (std::rename(path_.constData(), QFile::encodeName(destination).constData()) != 0) {
        noteError();
        return false;
    }
    renamed_ = true;
    return true;
}

TemporaryBesideFile::Placement TemporaryBesideFile::placeAs(const QString& destination)
{
    if (!closeFile())
        return Placement::Failed;
    const QByteArray target = QFile::encodeName(destination);
    int result = ::renameat2(AT_FDCWD, path_.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE);
    if (result != 0 && (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
        // A file system without the no-replace rename: a hard link fails the same way on a taken name.
        result = ::link(path_.constData(), target.constData());
        if (result == 0)
            ::unlink(path_.constData());
    }
    if (result == 0) {
        renamed_ = true;
        return Placement::Placed;
    }
    if (errno != EEXIST) {
        noteError();
        return Placement::Failed;
    }
    return sameBytesAs(target) ? Placement::Identical : Placement::Taken;
}

bool TemporaryBesideFile::sameBytesAs(const QByteArray& path) const
{
    // Opened without blocking and read only when a regular file: a FIFO of that name is just taken.
    const int theirs = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (theirs < 0)
        return false;
    const int ours = ::open(path_.constData(), O_RDONLY | O_CLOEXEC);
    bool same = false;
    struct stat theirStatus;
    struct stat ourStatus;
    if (ours >= 0 && ::fstat(theirs, &theirStatus) == 0 && ::fstat(ours, &ourStatus) == 0 &&
        S_ISREG(theirStatus.st_mode) && theirStatus.st_size == ourStatus.st_size) {
        static constexpr qsizetype kChunk = 64 * 1024;
        QByteArray a(kChunk, Qt::Uninitialized);
        QByteArray b(kChunk, Qt::Uninitialized);
        same = true;
        for (off_t at = 0; same && at < ourStatus.st_size; at += kChunk) {
            const ssize_t n = ::pread(ours, a.data(), kChunk, at);
            same = n > 0 && ::pread(theirs, b.data(), size_t(n), at) == n &&
                   std::memcmp(a.data(), b.data(), size_t(n)) == 0;
        }
    }
    if (ours >= 0)
        ::close(ours);
    ::close(theirs);
    return same;
}
