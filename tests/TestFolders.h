#pragma once

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QTemporaryDir>
#include <memory>

// Copies a fixture folder with everything in it, so that a test can change the copy; false on any failure.
inline bool copyFolder(const QString& from, const QString& to)
{
    if (!QDir().mkpath(to))
        return false;
    for (const QFileInfo& item : QDir(from).entryInfoList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QString target = QDir(to).filePath(item.fileName());
        if (item.isDir() ? !copyFolder(item.filePath(), target) : !QFile::copy(item.filePath(), target))
            return false;
    }
    return true;
}

inline QByteArray fileBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Writes `bytes` as the whole of `path`, making its folder first; false on any failure. Unlike QFile::copy(),
// it does not force the file to the disk, which tests that make many copies of a fixture cannot afford.
inline bool writeFileBytes(const QString& path, const QByteArray& bytes)
{
    if (!QDir().mkpath(QFileInfo(path).path()))
        return false;
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

// A fresh, empty home folder made the user's: HOME names it and the XDG folders follow it.
inline std::unique_ptr<QTemporaryDir> temporaryHome()
{
    auto home = std::make_unique<QTemporaryDir>();
    qputenv("HOME", home->path().toUtf8());
    qunsetenv("XDG_CACHE_HOME");
    qunsetenv("XDG_CONFIG_HOME");
    return home;
}
