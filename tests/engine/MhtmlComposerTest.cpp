#include "engine/MhtmlComposer.h"

#include "MapCache.h"
#include "util/DateText.h"

#include <QDir>
#include <QFile>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace
{

const QDate kToday(2024, 3, 5);

// Lines as the archive holds them: each one ends with CR LF, the last one too.
QByteArray crlf(const QByteArrayList& lines)
{
    QByteArray text;
    for (const QByteArray& line : lines)
        text += line + "\r\n";
    return text;
}

QByteArrayList header(const QByteArray& pageUrl)
{
    return {"From: <\xD3\xC9 Microsoft Internet Explorer 5 \xB1\xA3\xB4\xE6>",
            "Subject: Microsoft Internet Explorer",
            "Date:" + DateText::format(kToday).toUtf8(),
            "MIME-Version: 1.0",
            "Content-Type: multipart/related;",
            "        boundary=\"----=gleaner\";",
            "        type=\"text/html\"",
            "",
            "This is a multi-part message in MIME format.",
            "",
            "",
            "------=gleaner",
            "Content-Type: text/html;",
            "Content-Location:" + pageUrl,
            ""};
}

QByteArrayList part(const QByteArray& contentType, const QByteArray& encoding, const QByteArray& location,
                    const QByteArrayList& body = {})
{
    return QByteArrayList{"",
                          "",
                          "------=gleaner",
                          "Content-Type: " + contentType,
                          "Content-Transfer-Encoding: " + encoding,
                          "Content-Location:" + location,
                          ""} +
           body;
}

class MhtmlComposerTest : public ::testing::Test
{
protected:
    QByteArray compose(const QByteArrayList& page) const { return composer_.compose(kPage, page, kToday); }

    const QString kPage = QStringLiteral("http://h/dir/page.html");
    QTemporaryDir dir_;
    MapCache cache_{dir_.path()};
    MhtmlComposer composer_{cache_};
};

TEST_F(MhtmlComposerTest, APageWithoutReferencesIsHeaderPageAndClosingDelimiter)
{
    const QByteArrayList page{"<html><head><title>t</title></head>", "<body><a href=\"x.gif\">x</a></body>", "</html>"};
    EXPECT_EQ(compose(page), crlf(header("http://h/dir/page.html") + page + QByteArrayList{"------=gleaner--"}));
    EXPECT_EQ(compose({}), crlf(header("http://h/dir/page.html") + QByteArrayList{"------=gleaner--"}));
}

TEST_F(MhtmlComposerTest, TheFromLineIsGbk)
{
    QStringEncoder gbk("GBK");
    ASSERT_TRUE(gbk.isValid());
    const QByteArray from = gbk.encode(QStringLiteral("From: <由 Microsoft Internet Explorer 5 保存>"));
    EXPECT_TRUE(compose({}).startsWith(from + "\r\n"));
}

TEST_F(MhtmlComposerTest, PicturesAreBase64InLinesOf76)
{
    const QByteArray bytes57(57, '\x01');
    const QByteArray bytes58(58, '\x01');
    cache_.add("http://h/dir/a.gif", "a[1].gif", bytes57);
    cache_.add("http://h/img/b.gif", "b[1].gif", bytes58);
    const QByteArrayList page{R"(<img src="a.gif"><img src="../img/b.gif">)"};
    const QByteArray base64_57 = bytes57.toBase64();
    const QByteArray base64_58 = bytes58.toBase64();
    ASSERT_EQ(base64_57.size(), 76);
    EXPECT_EQ(compose(page),
              crlf(header("http://h/dir/page.html") + page +
                   part("image/gif", "base64", "http://h/dir/a.gif", {base64_57}) +
                   part("image/gif", "base64", "http://h/img/b.gif", {base64_58.left(76), base64_58.mid(76)}) +
                   QByteArrayList{"------=gleaner--"}));
    EXPECT_TRUE(base64_58.mid(76).endsWith("==") && base64_58.mid(76).size() == 4);
}

TEST_F(MhtmlComposerTest, PartsFollowLowerCaseThenUpperCaseThenLinkedSheets)
{
    cache_.add("http://h/dir/low.jpg", "low[1].jpg", "J");
    const QByteArrayList page{
        R"(<link rel="stylesheet" href="s.css"><IMG SRC="up.gif"> <img src="low.jpg"> <img src="low.jpg">)",
        "<p>nothing</p>", R"(<script src="/js/m.js"></script>)"};
    const QByteArrayList jpeg = part("image/JPEG", "base64", "http://h/dir/low.jpg", {"Sg=="});
    EXPECT_EQ(compose(page), crlf(header("http://h/dir/page.html") + page + jpeg + jpeg +
                                  part("image/gif", "base64", "http://h/dir/up.gif") +
                                  part("text/css", "quoted-printable", "http://h/dir/s.css") +
                                  part("application/octet-stream", "quoted-printable", "http://h/js/m.js") +
                                  QByteArrayList{"------=gleaner--"}));
}

TEST_F(MhtmlComposerTest, StyleSheetsAndScriptsAreQuotedPrintable)
{
    cache_.add("http://h/css/s.css", "s[1].css", "a { b: c; }\r\n.x{content:\"=\"}  \n\n", "text/css");
    cache_.add("http://h/dir/m.js", "m[1].js", "var x = 1;\nvar \xE4 = 2;", "text/javascript");
    const QByteArrayList page{"<LINK REL=stylesheet HREF=/css/s.css>", "<script src=m.js>"};
    EXPECT_EQ(compose(page), crlf(header("http://h/dir/page.html") + page +
                                  part("text/css", "quoted-printable", "http://h/css/s.css",
                                       {"a { b: c; }", ".x{content:\"=3D\"} =20", ""}) +
                                  part("application/octet-stream", "quoted-printable", "http://h/dir/m.js",
                                       {"var x =3D 1;", "var =E4 =3D 2;"}) +
                                  QByteArrayList{"------=gleaner--"}));
}

TEST_F(MhtmlComposerTest, WritesTheArchiveWholeOrNotAtAll)
{
    cache_.add("http://h/dir/page.html", "page[1].html", "<html>\r\n<img src=\"a.gif\">\r\n</html>\r\n");
    const QString localFile = dir_.filePath("page[1].html");
    QTemporaryDir save;
    const QString destination = save.filePath("page.mht");

    // Again over the first archive: replaced, not appended to.
    for (int pass = 0; pass < 2; ++pass) {
        ASSERT_EQ(composer_.ComposeArchive(kPage, localFile, destination), MhtmlComposer::Outcome::Written);
        QFile archive(destination);
        ASSERT_TRUE(archive.open(QIODevice::ReadOnly));
        const QByteArray written = archive.readAll();
        // The date is the day of writing, read again in case midnight passed meanwhile.
        const QByteArrayList pageLines{"<html>", "<img src=\"a.gif\">", "</html>"};
        EXPECT_TRUE(written == composer_.compose(kPage, pageLines, QDate::currentDate()) ||
                    written == composer_.compose(kPage, pageLines, QDate::currentDate().addDays(-1)));
    }
    EXPECT_EQ(QDir(save.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList{"page.mht"});

    EXPECT_EQ(composer_.ComposeArchive(kPage, dir_.filePath("gone.html"), save.filePath("gone.mht")),
              MhtmlComposer::Outcome::NoLocalCopy);
    ASSERT_TRUE(QDir(save.path()).mkdir("taken.mht"));
    EXPECT_EQ(composer_.ComposeArchive(kPage, localFile, save.filePath("taken.mht")), MhtmlComposer::Outcome::Failed);
    EXPECT_EQ(composer_.ComposeArchive(kPage, localFile, save.filePath("no/such/folder.mht")),
              MhtmlComposer::Outcome::Failed);
    EXPECT_EQ(QDir(save.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList({"page.mht", "taken.mht"}));
}

} // namespace
