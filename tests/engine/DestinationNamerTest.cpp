#include "engine/DestinationNamer.h"

#include "QtPrinters.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace
{

QStringList folderContents(const QString& folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

TEST(DestinationNamerTest, StripNameCharsRemovesTheFirstOfEachForbiddenCharacter)
{
    EXPECT_EQ(DestinationNamer::StripNameChars("News: today?.mht"), "News today.mht");
    EXPECT_EQ(DestinationNamer::StripNameChars("a//b.mht"), "a/b.mht");
    EXPECT_EQ(DestinationNamer::StripNameChars("\\/:*?<>|\"x"), "\"x");
    EXPECT_EQ(DestinationNamer::StripNameChars("||a||"), "|a||");
}

TEST(DestinationNamerTest, JoinPathAddsOneSlash)
{
    EXPECT_EQ(DestinationNamer::JoinPath("/save", "a.gif"), "/save/a.gif");
    EXPECT_EQ(DestinationNamer::JoinPath("/save/", "a.gif"), "/save/a.gif");
}

struct NameCase
{
    const char* name;
    QByteArray page;
    QString expected; // file name in the save folder
};

TEST(DestinationNamerTest, NamesDocumentsAfterTheirTitleInsideTheSaveFolder)
{
    const QString longTitle(300, QLatin1Char('x'));
    // clang-format off
    const NameCase cases[] = {
        {"no title: cache name as .mht",     "<html><body>x</body></html>",                       "index[1].mht"},
        {"title",                            "<title>Harvest</title>",                            "Harvest.mht"},
        {"upper-case tag",                   "<TITLE>Upper Case</TITLE>",                         "Upper Case.mht"},
        {"colon and question mark removed",  "<head><title>News: today?</title></head>",          "News today.mht"},
        {"double quote kept",                "<title>\"quoted\"</title>",                         "\"quoted\".mht"},
        {"title running past the line",      "<title>Open end",                                   "Open end.mht"},
        {"title on the next line",           "<title>\nNext line</title>",                        ".mht"},
        {"empty title",                      "<title></title>",                                   ".mht"},
        {"only forbidden characters",        "<title>\\/:*?<>|</title>",                          ".mht"},
        {"dot-dot title",                    "<title>..</title>",                                 "...mht"},
        {"the last title line decides",      "<title>First</title>\n<title>Second</title>",       "Second.mht"},
        {"second slash left: cache name",    "<title>a//b</title>",                               "index[1].htm"},
        {"climbing out: cache name",         "<title>//../../x</title>",                          "index[1].htm"},
        {"second backslash left: cache name","<title>a\\\\b</title>",                             "index[1].htm"},
        {"too long to write: cache name",    "<title>" + longTitle.toUtf8() + "</title>",         "index[1].htm"},
        {"mixed-case tag not recognised",    "<Title>Mixed</Title>",                              "index[1].mht"},
        {"UTF-8 title as it is",             "<title>\xE4\xB8\xAD\xE6\x96\x87</title>",           "中文.mht"},
        {"GBK without a charset",            "<title>\xD6\xD0\xCE\xC4</title>",                   "中文.mht"},
        {"GBK declared",                     "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=gbk\">\n"
                                             "<title>\xBC\xF2\xCC\xE5 GBK</title>",               "简体 GBK.mht"},
        {"gb2312 label read as GBK",         "<meta charset=\"gb2312\">\n<title>\x83\x7C</title>", "億.mht"},
        {"Big5 declared",                    "<meta charset=big5>\n<title>\xA4\xA4\xA4\xE5</title>", "中文.mht"},
        {"GBK trail byte '|' kept",          "<title>\x83\x7C|x</title>",                         "億x.mht"},
    };
    // clang-format on
    for (const NameCase& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir save;
        QTemporaryDir cache;
        const QString localFile = cache.filePath("index[1].htm");
        QFile page(localFile);
        ASSERT_TRUE(page.open(QIODevice::WriteOnly));
        page.write(c.page);
        page.close();

        const QString destination = DestinationNamer::MakeDestName(localFile, save.path(), true);
        EXPECT_EQ(destination, save.path() + QLatin1Char('/') + c.expected);
        // Trying names leaves nothing behind.
        EXPECT_EQ(folderContents(save.path()), QStringList());
    }
}

TEST(DestinationNamerTest, FallsBackWhenTheTitleNameIsTakenByAFolder)
{
    QTemporaryDir save;
    QTemporaryDir cache;
    ASSERT_TRUE(QDir(save.path()).mkdir("Taken.mht"));
    const QString localFile = cache.filePath("page[2].html");
    QFile page(localFile);
    ASSERT_TRUE(page.open(QIODevice::WriteOnly));
    page.write("<title>Taken</title>");
    page.close();
    EXPECT_EQ(DestinationNamer::MakeDestName(localFile, save.path(), true), save.filePath("page[2].html"));

    // An earlier archive of the same name is no obstacle: it is replaced.
    QFile earlier(save.filePath("Again.mht"));
    ASSERT_TRUE(earlier.open(QIODevice::WriteOnly));
    earlier.write("old");
    earlier.close();
    ASSERT_TRUE(page.open(QIODevice::WriteOnly));
    page.write("<title>Again</title>");
    page.close();
    EXPECT_EQ(DestinationNamer::MakeDestName(localFile, save.path(), true), save.filePath("Again.mht"));
    ASSERT_TRUE(earlier.open(QIODevice::ReadOnly));
    EXPECT_EQ(earlier.readAll(), "old");
}

TEST(DestinationNamerTest, ResourcesKeepTheirCacheName)
{
    EXPECT_EQ(DestinationNamer::MakeDestName("/tmp/x/logo[1].gif", "/save", false), "/save/logo[1].gif");
    // Unreadable page: the cache name, and the archive step decides what happens.
    EXPECT_EQ(DestinationNamer::MakeDestName("/no/such/index[1].htm", "/save", true), "/save/index[1].htm");
}

TEST(DestinationNamerTest, OnlyDirectChildNamesPass)
{
    for (const char* name : {"", ".", "..", "a/b", "/x", "a\\b"})
        EXPECT_FALSE(DestinationNamer::isDirectChildName(QString::fromUtf8(name))) << name;
    for (const char* name : {".mht", "...mht", "a b.mht", "中文.mht", "x?.mht"})
        EXPECT_TRUE(DestinationNamer::isDirectChildName(QString::fromUtf8(name))) << name;
}

} // namespace
