#include "engine/cache/FolderHandle.h"

#include <QFile>

#include <fcntl.h>
#include <unistd.h>

FolderHandle::FolderHandle(const QString& folder)
    : fd_(::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC))
{}

FolderHandle::~FolderHandle()
{
    if (fd_ >= 0)
        ::close(fd_);
}

int FolderHandle::fd() const
{
    return fd_ >= 0 ? fd_ : AT_FDCWD;
}

QString FolderHandle::pathOrName(const QString& folder, const QString& fileName) const
{
    return fd_ >= 0 ? fileName : folder + u'/' + fileName;
}
