#pragma once

#include "engine/cache/FileDescriptor.h"

#include <QString>

// An open folder, so that files in it are opened by name alone (openat) rather than by walking the
// whole path again for each of tens of thousands of files. Closed when destroyed. fd() is AT_FDCWD
// when the folder could not be opened, so names must then be full paths: see pathOrName().
class FolderHandle
{
public:
    explicit FolderHandle(const QString& folder);

    int fd() const;

    // What to open for `fileName` inside `folder` (the one this handle was made for) relative to fd().
    QString pathOrName(const QString& folder, const QString& fileName) const;

private:
    const FileDescriptor folder_;
};
