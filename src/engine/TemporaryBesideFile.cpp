#include "engine/TemporaryBesideFile.h"

#include <QFile>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
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

bool TemporaryBesideFile::commitAs(const QString& destination)
{
    if (fd_ < 0)
        return false;
    const int fd = std::exchange(fd_, -1);
    // A failed close can be the first report of a write that did not reach the disk (NFS, quotas).
    if (::close(fd) != 0 || std::rename(path_.constData(), QFile::encodeName(destination).constData()) != 0) {
        noteError();
        return false;
    }
    renamed_ = true;
    return true;
}
