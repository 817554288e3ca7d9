#pragma once

#include "TestFolders.h"

#include <QByteArray>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QString>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>

// A private copy of a fixture cache folder and its subfolders, for tests that damage, delete or add files.
class CacheCopy
{
public:
    // The copy's folder has the fixture's name unless `folderName` gives another.
    explicit CacheCopy(const QString& fixture, const QString& folderName = QString())
        : path_(dir_.path() + QLatin1Char('/') + (folderName.isEmpty() ? QFileInfo(fixture).fileName() : folderName))
    {
        // Not copyFolder(): QFile::copy() forces every copy to the disk, and damage tests make a copy a case.
        const QDir source(fixture);
        QDirIterator files(fixture, QDir::Files, QDirIterator::Subdirectories);
        while (files.hasNext()) {
            const QString from = files.next();
            complete_ = writeFileBytes(file(source.relativeFilePath(from)), fileBytes(from)) && complete_;
        }
        EXPECT_TRUE(complete_) << "copying " << fixture.toStdString();
    }

    // False when the temporary folder or a file in it could not be made.
    bool isComplete() const { return complete_; }

    QString path() const { return path_; }
    QString file(const QString& name) const { return path_ + QLatin1Char('/') + name; }

    // Replaces the whole of one file, making its folder if need be.
    void write(const QString& name, const QByteArray& bytes) const
    {
        ASSERT_TRUE(writeFileBytes(file(name), bytes)) << file(name).toStdString();
    }

    // Changes the bytes of one file in place.
    void edit(const QString& name, const std::function<void(QByteArray&)>& change) const
    {
        QByteArray bytes = fileBytes(file(name));
        change(bytes);
        write(name, bytes);
    }

private:
    QTemporaryDir dir_;
    QString path_;
    bool complete_ = dir_.isValid();
};
