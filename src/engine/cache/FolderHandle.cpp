#include "engine/cache/FolderHandle.h"

#include <QFile>

#include <fcntl.h>

FolderHandle::FolderHandle(const QString& folder)
    : folder_(::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC))
{}

int FolderHandle::fd() const
{
    return folder_.isOpen() ? folder_.get() : AT_FDCWD;
}

QString FolderHandle::pathOrName(const QString& folder, const QString& fileName) const
{
    return folder_.isOpen() ? fileName : folder + u'/' + fileName;
}
