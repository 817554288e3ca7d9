#include "engine/archive/MhtmlComposer.h"

#include "engine/archive/MimeEncoding.h"
#include "engine/cache/CollectingSink.h"
#include "engine/cache/MapCache.h"
#include "util/DateText.h"

#include <QFile>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace
{

const QDate kToday(2024, 3, 5);

const auto crlf = &CollectingSink::crlf;

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
            "Content-Transfer-Encoding: quoted-printable",
            "Content-Location:" + pageUrl,
            ""};
}

// The page part's body: the page lines joined by CR LF, quoted-printable.
QByteArrayList encoded(const QByteArrayList& page)
{
    return MimeEncoding::quotedPrintable(page.join("\r\n"));
}

// A part; its body's last line end is the next delimiter line's.
QByteArrayList part(const QByteArray& contentType, const QByteArray& encoding, const QByteArray& location,
                    const QByteArrayList& body = {})
{
    return QByteArrayList{"------=gleaner", "Content-Type: " + contentType, "Content-Transfer-Encoding: " + encoding,
                          "Content-Location:" + location, ""} +
           body;
}

// Takes `limit` bytes, then refuses every write, as a full disk does.
class RefusingSink : public CollectingSink
{
public:
    explicit RefusingSink(qsizetype limit) : limit_(limit) {}

    bool write(QByteArrayView bytes) override
    {
        if (collected.size() + bytes.size() > limit_) {
            ++refusals;
            return false;
        }
        return CollectingSink::write(bytes);
    }

    int refusals = 0;

private:
    const qsizetype limit_;
};

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
    EXPECT_EQ(compose(page),
              crlf(header("http://h/dir/page.html") + QByteArrayList{"<html><head><title>t</title></head>",
                                                                     "<body><a href=3D\"x.gif\">x</a></body>",
                                                                     "</html>", "------=gleaner--"}));
    EXPECT_EQ(compose({}), crlf(header("http://h/dir/page.html") + QByteArrayList{"", "------=gleaner--"}));
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
              crlf(header("http://h/dir/page.html") + encoded(page) +
                   part("image/gif", "base64", "http://h/dir/a.gif", {base64_57}) +
                   part("image/gif", "base64", "http://h/img/b.gif", {base64_58.left(76), base64_58.mid(76)}) +
                   QByteArrayList{"------=gleaner--"}));
    EXPECT_TRUE(base64_58.mid(76).endsWith("==") && base64_58.mid(76).size() == 4);
}

TEST_F(MhtmlComposerTest, EachCachedAddressGetsOnePartInDocumentOrder)
{
    cache_.add("http://h/dir/low.jpg", "low[1].jpg", "J");
    cache_.add("http://h/dir/up.gif", "up[1].gif", "G");
    cache_.add("http://h/dir/s.css", "s[1].css", "p{}", "text/css");
    const QByteArrayList page{
        R"(<link rel="stylesheet" href="s.css"><IMG SRC="up.gif"> <img src="low.jpg"> <img src="low.jpg">)",
        "<p>nothing</p>", R"(<script src="/js/m.js"></script>)"};
    MhtmlComposer::Report report;
    CollectingSink out;
    ASSERT_TRUE(composer_.compose(kPage, page, kToday, out, &report));
    EXPECT_EQ(out.collected, crlf(header("http://h/dir/page.html") + encoded(page) +
                                  part("text/css", "quoted-printable", "http://h/dir/s.css", {"p{}"}) +
                                  part("image/gif", "base64", "http://h/dir/up.gif", {"Rw=="}) +
                                  part("image/JPEG", "base64", "http://h/dir/low.jpg", {"Sg=="}) +
                                  QByteArrayList{"------=gleaner--"}));
    EXPECT_EQ(report.references, 4);
    EXPECT_EQ(report.embedded, 3);
    EXPECT_EQ(report.missing, 1) << "the script is not cached";
}

TEST_F(MhtmlComposerTest, StyleSheetsAndScriptsAreQuotedPrintable)
{
    cache_.add("http://h/css/s.css", "s[1].css", "a { b: c; }\r\n.x{content:\"=\"}  \n\n", "text/css");
    cache_.add("http://h/dir/m.js", "m[1].js", "var x = 1;\nvar \xE4 = 2;", "text/javascript");
    const QByteArrayList page{"<LINK REL=stylesheet HREF=/css/s.css>", "<script src=m.js>"};
    EXPECT_EQ(compose(page), crlf(header("http://h/dir/page.html") + encoded(page) +
                                  part("text/css", "quoted-printable", "http://h/css/s.css",
                                       {"a { b: c; }", ".x{content:\"=3D\"} =20=0A=", "=0A"}) +
                                  part("text/javascript", "quoted-printable", "http://h/dir/m.js",
                                       {"var x =3D 1;=0A=", "var =E4 =3D 2;"}) +
                                  QByteArrayList{"------=gleaner--"}));
}

TEST_F(MhtmlComposerTest, AnAddressWhoseBodyCannotBeReadGetsNoPartAndCountsAsMissing)
{
    cache_.add("http://h/dir/kept.gif", "kept[1].gif", "GIF89a");
    cache_.add("http://h/dir/gone.gif", "gone[1].gif", "GIF89a");
    cache_.add("http://h/dir/gone.css", "gone[1].css", "a{}");
    // Looked up, then gone before its body is read: the browser evicted it meanwhile.
    ASSERT_TRUE(QFile::remove(dir_.filePath("gone[1].gif")));
    ASSERT_TRUE(QFile::remove(dir_.filePath("gone[1].css")));
    const QByteArrayList page{R"(<img src="kept.gif"><img src="gone.gif"><img src="never.gif">)",
                              "<link rel=stylesheet href=gone.css>"};

    CollectingSink out;
    MhtmlComposer::Report report;
    ASSERT_TRUE(composer_.compose(kPage, page, kToday, out, &report));
    EXPECT_EQ(out.collected, crlf(header("http://h/dir/page.html") + encoded(page) +
                                  part("image/gif", "base64", "http://h/dir/kept.gif", {"R0lGODlh"}) +
                                  QByteArrayList{"------=gleaner--"}));
    EXPECT_EQ(report.references, 4);
    EXPECT_EQ(report.embedded, 1);
    EXPECT_EQ(report.missing, 3);
}

TEST_F(MhtmlComposerTest, FollowsSheetsAndFramesOnceEachAndTypesPartsAsTheCacheDoes)
{
    // Two sheets importing each other, a frame framing itself: each gets one part, and the walk ends.
    cache_.add("http://h/css/a.css", "a[1].css", "@import 'b.css'; p{background:url(../img/bg.png)}", "text/css");
    cache_.add("http://h/css/b.css", "b[1].css", "@import url(a.css);", "text/css; charset=utf-8");
    cache_.add("http://h/img/bg.png", "bg[1].png", "P");
    cache_.add("http://h/dir/f.html", "f[1].html", "<iframe src=f.html></iframe><img src=pic.dat>",
               "text/html; charset=gbk");
    cache_.add("http://h/dir/pic.dat", "pic[1].dat", "Q", "image/png");
    cache_.add("http://h/dir/chart.svg", "chart[1].svg", "<svg/>", "image/svg+xml");
    cache_.add("http://h/dir/odd", "odd[1]", "O", "image/x\r\nInjected: yes");
    const QByteArrayList page{R"(<link rel=stylesheet href="/css/a.css"><iframe src="f.html"></iframe>)",
                              R"(<img src="chart.svg#v2"><img src="odd"><img src="pic.dat">)"};

    CollectingSink out;
    MhtmlComposer::Report report;
    ASSERT_TRUE(composer_.compose(kPage, page, kToday, out, &report));
    EXPECT_EQ(out.collected,
              crlf(header("http://h/dir/page.html") + encoded(page) +
                   part("text/css", "quoted-printable", "http://h/css/a.css",
                        {"@import 'b.css'; p{background:url(../img/bg.png)}"}) +
                   part("text/html; charset=gbk", "quoted-printable", "http://h/dir/f.html",
                        {"<iframe src=3Df.html></iframe><img src=3Dpic.dat>"}) +
                   part("image/svg+xml", "base64", "http://h/dir/chart.svg#v2", {"PHN2Zy8+"}) +
                   part("application/octet-stream", "base64", "http://h/dir/odd", {"Tw=="}) +
                   part("image/png", "base64", "http://h/dir/pic.dat", {"UQ=="}) +
                   part("text/css", "quoted-printable", "http://h/css/b.css", {"@import url(a.css);"}) +
                   part("image/png", "base64", "http://h/img/bg.png", {"UA=="}) + QByteArrayList{"------=gleaner--"}));
    EXPECT_EQ(report.references, 7);
    EXPECT_EQ(report.embedded, 7);
    EXPECT_EQ(report.missing, 0);
    EXPECT_FALSE(report.capped);
}

TEST_F(MhtmlComposerTest, FollowingSheetsStopsAtItsCapsAndSaysSo)
{
    // Each sheet loads a picture; past a cap, sheets are still embedded, their pictures no longer found. The
    // caps are lowered so that a few small sheets reach them.
    struct Case
    {
        const char* name;
        int sheets;
        qsizetype sheetSize;
        int followed; // sheets whose pictures are found
    };
    const MhtmlComposer::FollowCaps caps{5, 1000};
    const Case cases[] = {
        {"many small sheets", 7, 10, 5},
        {"a few large sheets", 6, 300, 3}, // the fourth is larger than what is left of the bytes
        {"within the caps", 5, 100, 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir dir;
        MapCache cache(dir.path());
        QByteArray html;
        for (int i = 0; i < c.sheets; ++i) {
            const QByteArray n = QByteArray::number(i);
            cache.add("http://h/dir/s" + n + ".css", "s" + n + ".css",
                      QByteArray(c.sheetSize, ' ') + "p{background:url(p" + n + ".png)}", "text/css");
            cache.add("http://h/dir/p" + n + ".png", "p" + n + ".png", "P", "image/png");
            html += "<link rel=stylesheet href=s" + n + ".css>";
        }
        CollectingSink out;
        MhtmlComposer::Report report;
        ASSERT_TRUE(MhtmlComposer(cache, nullptr, caps).compose(kPage, {html}, kToday, out, &report));
        EXPECT_EQ(report.embedded, c.sheets + c.followed);
        EXPECT_EQ(report.missing, 0);
        EXPECT_EQ(report.capped, c.followed < c.sheets);
        // Every sheet has its part, followed or not.
        for (int i = 0; i < c.sheets; ++i)
            EXPECT_TRUE(out.collected.contains("Content-Location:http://h/dir/s" + QByteArray::number(i) + ".css"));
    }
}

TEST_F(MhtmlComposerTest, StopsAtTheFirstBytesTheSinkRefuses)
{
    // Parts larger and smaller than what is written at once, so the refusal comes in every kind of write.
    QByteArray picture(300000, Qt::Uninitialized);
    for (qsizetype i = 0; i < picture.size(); ++i)
        picture[i] = static_cast<char>(i * 31 + i / 1000);
    cache_.add("http://h/dir/big.png", "big[1].png", picture);
    const QByteArray sheet = QByteArray("p { color: red; }\r\n").repeated(5000);
    cache_.add("http://h/dir/s.css", "s[1].css", sheet);
    const QByteArrayList page{R"(<img src="big.png"><link rel="stylesheet" href="s.css"><img src="big.png">)"};
    const QByteArray whole = compose(page);
    ASSERT_EQ(whole, crlf(header("http://h/dir/page.html") + encoded(page) +
                          part("image/png", "base64", "http://h/dir/big.png", MimeEncoding::base64Lines(picture)) +
                          part("text/css", "quoted-printable", "http://h/dir/s.css",
                               QByteArrayList(5000, "p { color: red; }") + QByteArrayList{""}) +
                          QByteArrayList{"------=gleaner--"}));

    for (const qsizetype limit : {qsizetype(0), qsizetype(1), qsizetype(500), qsizetype(70000), qsizetype(400000),
                                  whole.size() - 100000, whole.size() - 1}) {
        SCOPED_TRACE(limit);
        RefusingSink out(limit);
        EXPECT_FALSE(composer_.compose(kPage, page, kToday, out));
        EXPECT_EQ(out.refusals, 1);
        EXPECT_TRUE(whole.startsWith(out.collected));
    }
    RefusingSink roomy(whole.size());
    EXPECT_TRUE(composer_.compose(kPage, page, kToday, roomy));
    EXPECT_EQ(roomy.collected, whole);
}

} // namespace
