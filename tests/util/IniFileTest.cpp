#include "util/IniFile.h"

#include "QtPrinters.h"
#include "UnreadablePlace.h"
#include <QDir>
#include <QFile>
#include <QStringEncoder>
#include <QTemporaryDir>

#include <functional>
#include <gtest/gtest.h>
#include <iostream>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

class IniFileTest : public ::testing::Test
{
protected:
    QString path() const { return QDir(dir_.path()).filePath(QStringLiteral("test.ini")); }

    void writeRaw(const QByteArray& content) const
    {
        QFile file(path());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(content);
    }

    QByteArray readRaw() const
    {
        QFile file(path());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    QTemporaryDir dir_;
};

TEST_F(IniFileTest, MissingFileReadsDefaultsAndIsCreatedByTheFirstWrite)
{
    IniFile ini(path());
    EXPECT_EQ(ini.readString("a", "b", "dflt"), "dflt");
    EXPECT_FALSE(QFile::exists(path()));
    ini.writeString("Last", "last", "0");
    EXPECT_EQ(readRaw(), "[Last]\nlast=0\n");
}

TEST_F(IniFileTest, NamesCompareWithoutCaseAndLinesKeepTheirOrder)
{
    writeRaw("; kept comment\r\n[Type]\r\nDoc=*.htm\r\n\r\n[name]\r\nn2=key2\r\nn1=key1\r\n");
    IniFile ini(path());
    EXPECT_EQ(ini.readString("TYPE", "doc", ""), "*.htm");
    const QList<QPair<QString, QString>> expected{{"n2", "key2"}, {"n1", "key1"}};
    EXPECT_EQ(ini.sectionEntries("NAME"), expected);

    ini.writeString("type", "DOC", "*.asp");
    ini.writeString("type", "sou", "*.gif");
    EXPECT_EQ(readRaw(), "; kept comment\n[Type]\nDoc=*.asp\nsou=*.gif\n\n[name]\nn2=key2\nn1=key1\n");
}

TEST_F(IniFileTest, ValuesAreTrimmedAndSplitAtTheFirstEquals)
{
    writeRaw("[s]\n  url = http://a/?x=1 \nn=12\nbad=12abc\nyes=2\nno=0\n");
    const IniFile ini(path());
    EXPECT_EQ(ini.readString("s", "url", ""), "http://a/?x=1");
    EXPECT_EQ(ini.readInteger("s", "n", -1), 12);
    EXPECT_EQ(ini.readInteger("s", "bad", -1), -1);
    EXPECT_EQ(ini.readInteger("s", "missing", 7), 7);
    EXPECT_TRUE(ini.readBool("s", "yes", false));
    EXPECT_FALSE(ini.readBool("s", "no", true));
}

TEST_F(IniFileTest, RemovesOneKeyAndErasesOneSection)
{
    writeRaw("[name]\nn1=key1\nn2=key2\n[key1]\nname=a\n[key2]\nname=b\n");
    IniFile ini(path());
    ini.removeKey("name", "N1");
    ini.eraseSection("KEY1");
    EXPECT_EQ(readRaw(), "[name]\nn2=key2\n[key2]\nname=b\n");
    EXPECT_EQ(ini.sectionNames(), (QStringList{"name", "key2"}));
    // Removing what is not there changes nothing and writes nothing.
    ini.removeKey("name", "n9");
    ini.eraseSection("key9");
    EXPECT_EQ(readRaw(), "[name]\nn2=key2\n[key2]\nname=b\n");
}

TEST_F(IniFileTest, EveryKindOfLineEndEndsALine)
{
    const QByteArray cases[] = {
        "[a]\r\nk=1\r\n\r\n[b]\r\nk=2\r\nj=3",
        "[a]\nk=1\n\n[b]\nk=2\nj=3\n",
        "[a]\rk=1\r\r[b]\rk=2\rj=3\r", // old Mac editors
        "[a]\rk=1\n\r\n[b]\r\nk=2\rj=3",
    };
    for (const QByteArray& content : cases) {
        writeRaw(content);
        IniFile ini(path());
        EXPECT_EQ(ini.readString("a", "k", ""), "1") << content.toStdString();
        EXPECT_EQ(ini.sectionEntries("b"), (QList<QPair<QString, QString>>{{"k", "2"}, {"j", "3"}}))
            << content.toStdString();
        ini.writeString("a", "k", "4");
        EXPECT_EQ(readRaw(), "[a]\nk=4\n\n[b]\nk=2\nj=3\n") << content.toStdString();
    }
}

TEST_F(IniFileTest, ReadsUtf8OrGbkOrUtf16AndWritesUtf8)
{
    // "图片" in GBK (CD BC C6 AC) happens to be valid UTF-8 too; the rest of the file decides.
    const QByteArray cases[] = {
        "\xEF\xBB\xBF[a]\nname=\xE5\x9B\xBE\xE7\x89\x87\n",
        "[a]\r\nname=\xCD\xBC\xC6\xAC\r\ntitle=\xD0\xC2\xCE\xC5\r\n",
        "\xFF\xFE" + QStringEncoder(QStringEncoder::Utf16LE).encode(u"[a]\r\nname=图片\r\n"),
        "\xFE\xFF" + QStringEncoder(QStringEncoder::Utf16BE).encode(u"[a]\nname=图片"),
    };
    for (const QByteArray& content : cases) {
        writeRaw(content);
        IniFile ini(path());
        EXPECT_EQ(ini.readString("a", "name", ""), QStringLiteral("图片"));
        ini.writeString("a", "k", "v");
        EXPECT_TRUE(readRaw().startsWith("[a]\nname=\xE5\x9B\xBE\xE7\x89\x87\n"));
    }
}

TEST_F(IniFileTest, AnUpdateWritesOnceAndLeavesNoTemporaryFiles)
{
    IniFile ini(path());
    ini.update([&] {
        ini.writeString("s", "a", "1");
        EXPECT_FALSE(QFile::exists(path()));
        ini.writeString("s", "b", "2");
    });
    EXPECT_EQ(readRaw(), "[s]\na=1\nb=2\n");
    EXPECT_EQ(QDir(dir_.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"test.ini"});
}

TEST_F(IniFileTest, AFailedWriteThrowsAndKeepsTheOldFile)
{
    // The file's place is taken by a folder, so nothing can be renamed over it, not even by root.
    writeRaw("[s]\na=1\n");
    IniFile ini(path());
    ASSERT_TRUE(QFile::remove(path()));
    ASSERT_TRUE(QDir(dir_.path()).mkdir("test.ini"));
    EXPECT_THROW(ini.writeString("s", "a", "2"), std::runtime_error);
    EXPECT_TRUE(QFileInfo(path()).isDir());
    EXPECT_EQ(QDir(dir_.path()).entryList(QDir::Files | QDir::Hidden), QStringList());
}

TEST_F(IniFileTest, ReadsStayRightWhileChangesMoveLines)
{
    writeRaw("[a]\nx=1\n[b]\ny=2\ny=shadowed\n[B]\nz=other\n[c]\nz=3\n");
    IniFile ini(path());
    EXPECT_EQ(ini.readString("b", "y", ""), "2") << "the first key of a name counts";
    EXPECT_EQ(ini.readString("b", "z", "none"), "none") << "and the first section of a name";
    ini.writeString("a", "new", "0");
    EXPECT_EQ(ini.readString("c", "z", ""), "3");
    ini.removeKey("a", "x");
    ini.writeString("c", "z", "4");
    EXPECT_EQ(ini.readString("c", "z", ""), "4");
    ini.eraseSection("b");
    EXPECT_EQ(ini.readString("b", "z", ""), "other") << "the second [b] takes over";
    ini.writeString("d", "w", "5");
    EXPECT_EQ(ini.readString("D", "W", ""), "5");
    EXPECT_EQ(readRaw(), "[a]\nnew=0\n[B]\nz=other\n[c]\nz=4\n[d]\nw=5\n");
}

TEST_F(IniFileTest, AFileThatCannotBeReadIsNeverReplaced)
{
    for (const UnreadablePlace::Kind kind : UnreadablePlace::kKinds) {
        SCOPED_TRACE(UnreadablePlace::name(kind));
        if (!UnreadablePlace::stopsThisUser(kind))
            continue;
        ASSERT_TRUE(UnreadablePlace::make(kind, path()));
        const QFileInfo before(path());
        IniFile ini(path());
        EXPECT_FALSE(ini.readError().isEmpty());
        EXPECT_EQ(ini.readString("s", "a", "default"), "default");
        EXPECT_THROW(ini.writeString("s", "a", "2"), std::runtime_error);
        const QFileInfo after(path());
        EXPECT_EQ(after.isDir(), before.isDir());
        EXPECT_EQ(after.isFile(), before.isFile());
        EXPECT_EQ(after.permissions(), before.permissions());
        EXPECT_EQ(QDir(dir_.path()).entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot),
                  QStringList{"test.ini"});
        QFile::setPermissions(path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        QDir(dir_.path()).rmdir("test.ini");
        QFile::remove(path());
    }
}

} // namespace
