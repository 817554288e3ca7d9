#include "engine/save/TemporaryBesideFile.h"

#include "engine/save/DestinationNamer.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

TemporaryBesideFile::TemporaryBesideFile(const QString& folder)
{
    const QByteArray nativeFolder = QFile::encodeName(folder);
    // Read as well as written: placing compares it with a file already at the destination.
    fd_ = ::open(nativeFolder.constData(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    if (fd_ >= 0) {
        unnamed_ = true;
        created_ = true;
        return;
    }
    // Any other failure is the folder's own (missing, read-only) and named files meet it too.
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
        noteError();
        return;
    }
    static std::atomic<quint64> counter{0};
    // Short and fixed in length, so that it fits wherever a destination's own name fits. Hidden, so that
    // a file manager showing the folder meanwhile does not list it. The process id tells removeLeftovers
    // whose it is.
    path_ = nativeFolder + QStringLiteral("/.webgleaner-%1-%2.part").arg(::getpid()).arg(++counter).toUtf8();
    fd_ = ::open(path_.constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    created_ = fd_ >= 0;
    if (!created_)
        noteError();
}

TemporaryBesideFile::~TemporaryBesideFile()
{
    if (fd_ >= 0)
        ::close(fd_);
    if (created_ && !placed_ && !unnamed_)
        ::unlink(path_.constData());
}

void TemporaryBesideFile::noteError()
{
    error_ = QString::fromLocal8Bit(std::strerror(errno));
}

bool TemporaryBesideFile::closeFile()
{
    if (fd_ < 0)
        return created_ && !placed_ && !closeFailed_;
    const int fd = std::exchange(fd_, -1);
    // A failed close can be the first report of a write that did not reach the disk (NFS, quotas).
    if (::close(fd) != 0) {
        noteError();
        closeFailed_ = true;
        return false;
    }
    return true;
}

int TemporaryBesideFile::linkUnnamed(const QByteArray& target) const
{
    // Through /proc, which needs no privilege (linking the descriptor itself does).
    const QByteArray self = "/proc/self/fd/" + QByteArray::number(fd_);
    if (::linkat(AT_FDCWD, self.constData(), AT_FDCWD, target.constData(), AT_SYMLINK_FOLLOW) == 0)
        return 0;
    const int failure = errno;
    if (failure == ENOENT && ::linkat(fd_, "", AT_FDCWD, target.constData(), AT_EMPTY_PATH) == 0)
        return 0;
    return failure == ENOENT ? errno : failure;
}

TemporaryBesideFile::Placement TemporaryBesideFile::placeAs(const QString& destination)
{
    const QByteArray target = QFile::encodeName(destination);
    int failure = 0;
    if (unnamed_) {
        if (fd_ < 0)
            return Placement::Failed;
        failure = linkUnnamed(target);
        if (failure == 0) {
            placed_ = true;
            // Written and in place; a failing close still says the bytes may not all have arrived.
            if (!closeFile()) {
                ::unlink(target.constData());
                return Placement::Failed;
            }
            return Placement::Placed;
        }
    } else {
        if (!closeFile())
            return Placement::Failed;
        int result = ::renameat2(AT_FDCWD, path_.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE);
        if (result != 0 && (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
            // A file system without the no-replace rename: a hard link fails the same way on a taken name.
            result = ::link(path_.constData(), target.constData());
            if (result == 0)
                ::unlink(path_.constData());
        }
        if (result == 0) {
            placed_ = true;
            return Placement::Placed;
        }
        failure = errno;
    }
    if (failure != EEXIST) {
        errno = failure;
        noteError();
        return Placement::Failed;
    }
    return sameBytesAs(target) ? Placement::Identical : Placement::Taken;
}

TemporaryBesideFile::Placement TemporaryBesideFile::placeAtFirstFree(DestinationNamer& names)
{
    // A name taken by other content gives way to the next; the same content there already is the same save.
    for (std::optional<QString> path = names.next(); path; path = names.next()) {
        const Placement placement = placeAs(*path);
        if (placement != Placement::Taken)
            return placement;
    }
    return Placement::Taken;
}

bool TemporaryBesideFile::sameBytesAs(const QByteArray& path) const
{
    // Opened without blocking and read only when a regular file: a FIFO of that name is just taken.
    const int theirs = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (theirs < 0)
        return false;
    const int ours = unnamed_ ? ::dup(fd_) : ::open(path_.constData(), O_RDONLY | O_CLOEXEC);
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

int TemporaryBesideFile::removeLeftovers(const QString& folder, const QDateTime& writtenBefore)
{
    static const QRegularExpression partName(QStringLiteral(R"(^\.webgleaner-(\d{1,10})-\d{1,20}\.part$)"));
    const int folderFd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd < 0)
        return 0;
    const qint64 before = writtenBefore.toSecsSinceEpoch();
    int removed = 0;
    const QStringList names =
        QDir(folder).entryList({QStringLiteral(".webgleaner-*.part")}, QDir::Files | QDir::Hidden | QDir::System);
    for (const QString& name : names) {
        const QRegularExpressionMatch match = partName.match(name);
        if (!match.hasMatch())
            continue;
        bool isNumber = false;
        const qint64 pid = match.captured(1).toLongLong(&isNumber);
        if (!isNumber || pid <= 0 || pid > INT_MAX || pid == ::getpid())
            continue;
        // A process of that id still running may be another copy of the program in the middle of a save.
        if (::kill(pid_t(pid), 0) == 0 || errno != ESRCH)
            continue;
        const QByteArray nativeName = QFile::encodeName(name);
        struct stat status;
        if (::fstatat(folderFd, nativeName.constData(), &status, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(status.st_mode) || status.st_mtim.tv_sec >= before)
            continue;
        if (::unlinkat(folderFd, nativeName.constData(), 0) == 0)
            ++removed;
    }
    ::close(folderFd);
    return removed;
}
