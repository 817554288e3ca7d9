#include "engine/save/AtomicFile.h"

#include "QtPrinters.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <functional>
#include <gtest/gtest.h>

namespace
{

QStringList folderContents(const QString& folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
}

TEST(AtomicFileTest, WritesAndReplacesWholeFiles)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("a.mht");
    ASSERT_TRUE(AtomicFile::write(path, "first, and longer"));
    ASSERT_TRUE(AtomicFile::write(path, "second"));
    EXPECT_EQ(readAll(path), "second");
    ASSERT_TRUE(AtomicFile::write(dir.filePath("empty"), {}));
    EXPECT_EQ(readAll(dir.filePath("empty")), "");
    EXPECT_EQ(folderContents(dir.path()), QStringList({"a.mht", "empty"}));
    EXPECT_EQ(QFile::permissions(path) & QFile::WriteOther, 0);
}

TEST(AtomicFileTest, CopiesWholeFiles)
{
    QTemporaryDir dir;
    QByteArray big;
    for (int i = 0; i < 300000; ++i)
        big += static_cast<char>(i * 31);
    ASSERT_TRUE(AtomicFile::write(dir.filePath("source"), big));
    ASSERT_TRUE(AtomicFile::write(dir.filePath("copy"), "old"));
    ASSERT_TRUE(AtomicFile::copy(dir.filePath("source"), dir.filePath("copy")));
    EXPECT_EQ(readAll(dir.filePath("copy")), big);
    EXPECT_EQ(folderContents(dir.path()), QStringList({"copy", "source"}));
}

TEST(AtomicFileTest, LeavesNothingBehindOnFailure)
{
    QTemporaryDir dir;
    ASSERT_TRUE(AtomicFile::write(dir.filePath("source"), "body"));
    ASSERT_TRUE(QDir(dir.path()).mkdir("folder"));
    struct Case
    {
        const char* name;
        std::function<bool()> attempt;
    };
    const Case cases[] = {
        {"write over a folder", [&] { return AtomicFile::write(dir.filePath("folder"), "x"); }},
        {"write into a missing folder", [&] { return AtomicFile::write(dir.filePath("missing/x"), "x"); }},
        {"copy over a folder", [&] { return AtomicFile::copy(dir.filePath("source"), dir.filePath("folder")); }},
        {"copy of a missing file", [&] { return AtomicFile::copy(dir.filePath("missing"), dir.filePath("x")); }},
        {"copy of a folder", [&] { return AtomicFile::copy(dir.filePath("folder"), dir.filePath("x")); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(c.attempt());
        EXPECT_EQ(folderContents(dir.path()), QStringList({"folder", "source"}));
        EXPECT_EQ(folderContents(dir.filePath("folder")), QStringList());
    }
}

} // namespace
