#include "engine/save/DestinationNamer.h"

#include "engine/archive/PageText.h"

#include "QtPrinters.h"

#include <gtest/gtest.h>

namespace
{

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

TEST(DestinationNamerTest, NamesDocumentsAfterTheirTitleSafely)
{
    const QString longTitle(300, QLatin1Char('x'));
    const QString longChinese = QString(100, QChar(0x4e2d)); // 300 bytes of UTF-8
    // clang-format off
    const NameCase cases[] = {
        {"no title: cache name as .mht",     "<html><body>x</body></html>",                       "index[1].mht"},
        {"title",                            "<title>Harvest</title>",                            "Harvest.mht"},
        {"upper-case tag",                   "<TITLE>Upper Case</TITLE>",                         "Upper Case.mht"},
        {"colon and question mark removed",  "<head><title>News: today?</title></head>",          "News today.mht"},
        {"double quote kept",                "<title>\"quoted\"</title>",                         "\"quoted\".mht"},
        {"title running past the line",      "<title>Open end",                                   "Open end.mht"},
        {"title on the next line: blank",    "<title>\nNext line</title>",                        "index[1].mht"},
        {"empty title",                      "<title></title>",                                   "index[1].mht"},
        {"blank title",                      "<title>   </title>",                                "index[1].mht"},
        {"dot",                              "<title>.</title>",                                  "index[1].mht"},
        {"dot-dot",                          "<title>..</title>",                                 "index[1].mht"},
        {"slash",                            "<title>/</title>",                                  "index[1].mht"},
        {"only forbidden characters",        "<title>\\/:*?<>|</title>",                          "index[1].mht"},
        {"leading dot: not hidden",          "<title>.bashrc</title>",                            "bashrc.mht"},
        {"leading dash: not an option",      "<title>-rf --no-preserve-root</title>",             "rf --no-preserve-root.mht"},
        {"control characters dropped",       "<title>a\x1b[31mb\tc\x7f" "d\xc2\x85" "e</title>",  "a[31mbcde.mht"},
        {"NUL dropped, the rest kept",       QByteArray("<title>before\0after</title>", 27),     "beforeafter.mht"},
        {"invalid UTF-8 dropped",            "<title>ok\xff" "fine</title>",                  "okfine.mht"},
        {"the last title line decides",      "<title>First</title>\n<title>Second</title>",       "Second.mht"},
        {"second slash left: cache name",    "<title>a//b</title>",                               "index[1].mht"},
        {"climbing out: cache name",         "<title>//../../x</title>",                          "index[1].mht"},
        {"second backslash left: cache name","<title>a\\\\b</title>",                             "index[1].mht"},
        {"long title cut to fit",            "<title>" + longTitle.toUtf8() + "</title>",         QString(243, u'x') + ".mht"},
        {"long CJK title cut on a character","<title>" + longChinese.toUtf8() + "</title>",       QString(81, QChar(0x4e2d)) + ".mht"},
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
        const QString name = DestinationNamer::documentName(QStringLiteral("index[1].htm"),
                                                            PageText::title(PageText::splitLines(c.page)));
        EXPECT_EQ(name, c.expected);
        EXPECT_LE(name.toUtf8().size(), DestinationNamer::kMaxNameBytes);
        EXPECT_TRUE(DestinationNamer::isDirectChildName(name));
    }
}

TEST(DestinationNamerTest, TakenNamesGiveWayToNumberedOnes)
{
    // clang-format off
    const struct { const char* name; bool isDocument; int n; const char* expected; } cases[] = {
        {"Title.mht",      true,  1, "Title.mht"},
        {"Title.mht",      true,  2, "Title (2).mht"},
        {"Title.mht",      true,  3, "Title (3).mht"},
        {"logo[1].gif",    false, 2, "logo[2].gif"},
        {"logo[1].gif",    false, 5, "logo[5].gif"},
        {"logo[3].gif",    false, 2, "logo[4].gif"},
        {"plain.gif",      false, 2, "plain[2].gif"},
        {"index[1]",       false, 2, "index[2]"},
    };
    // clang-format on
    for (const auto& c : cases)
        EXPECT_EQ(DestinationNamer::candidate(QString::fromUtf8(c.name), c.n, c.isDocument), c.expected) << c.name;
    EXPECT_EQ(DestinationNamer::resourceName("logo[1].gif"), "logo[1].gif");
    EXPECT_EQ(DestinationNamer::resourceName(".hidden\t[1].gif"), "hidden[1].gif");
    EXPECT_EQ(DestinationNamer::resourceName(""), "index");
}

TEST(DestinationNamerTest, OnlyDirectChildNamesPass)
{
    for (const char* name : {"", ".", "..", "a/b", "/x", "a\\b"})
        EXPECT_FALSE(DestinationNamer::isDirectChildName(QString::fromUtf8(name))) << name;
    for (const char* name : {".mht", "...mht", "a b.mht", "中文.mht", "x?.mht"})
        EXPECT_TRUE(DestinationNamer::isDirectChildName(QString::fromUtf8(name))) << name;
}

} // namespace
