#include "engine/archive/MhtmlComposer.h"
#include "engine/archive/PageModel.h"
#include "engine/archive/StrictMimeReader.h"
#include "engine/cache/ByteSink.h"
#include "engine/cache/EntryBody.h"
#include "engine/cache/MapCache.h"
#include "engine/save/DestinationNamer.h"

#include <QFile>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace
{

const QDate kToday(2024, 3, 5);

// A string literal's bytes, NULs included.
template <qsizetype N>
QByteArray bytes(const char (&text)[N])
{
    return QByteArray(text, N - 1);
}

// Writes an archive to a file, as a run saves one.
class FileSink final : public ByteSink
{
public:
    explicit FileSink(const QString& path) : file_(path) { open_ = file_.open(QIODevice::WriteOnly); }

    bool write(QByteArrayView bytes) override
    {
        return open_ && file_.write(bytes.data(), bytes.size()) == bytes.size();
    }

private:
    QFile file_;
    bool open_ = false;
};

class ArchiveRoundTripTest : public ::testing::Test
{
protected:
    // Harvests the cached page at `url` into an archive file, as a run does, and reads the file back.
    QByteArray harvest(const QString& url, const QString& archiveName, QString* title = nullptr,
                       MhtmlComposer::Report* report = nullptr)
    {
        const std::optional<CacheEntry> entry = cache_.lookup(url);
        if (!entry)
            return {};
        std::variant<QByteArray, EntryBody::Refusal> body = EntryBody::read(entry->body, 1 << 24);
        if (!std::holds_alternative<QByteArray>(body))
            return {};
        const PageModel page = PageModel::parse(url, std::get<QByteArray>(body), entry->contentType);
        if (title)
            *title = page.title();
        const QString path = archives_.filePath(archiveName);
        {
            FileSink out(path);
            if (!MhtmlComposer(cache_).compose(page, kToday, out, report))
                return {};
        }
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    QTemporaryDir cacheFolder_;
    QTemporaryDir archives_;
    MapCache cache_{cacheFolder_.path()};
};

TEST_F(ArchiveRoundTripTest, TheFirstPartIsThePageTheBrowserHad)
{
    QStringEncoder gbk("GBK");
    ASSERT_TRUE(gbk.isValid());
    QByteArray everyByte;
    for (int i = 0; i < 256 * 3; ++i)
        everyByte += static_cast<char>(i);
    QByteArray utf16 = "\xFF\xFE";
    for (const char c : QByteArray("<title>t</title>\r\n<p>x</p>\n")) {
        utf16 += c;
        utf16 += '\0';
    }

    struct Case
    {
        const char* name;
        QByteArray page;
        QString contentType; // the response's
        QByteArray partType; // the page part's, as written
        QString archiveName; // after the page's title
    };
    // clang-format off
    const Case cases[] = {
        {"NUL in the body, the title and a picture's address",
         bytes("<html><head><title>before\0after</title></head>\n<body>\0<p>shown</p><img src=\"a\0b.gif\"></body></html>\n"),
         {}, "text/html;", "beforeafter.mht"},
        {"CR alone",                 "<p>a</p>\r<p>b</p>\r", {}, "text/html;", "index[1].mht"},
        {"LF, CR LF and CR mixed, blanks before each",
                                     "a \nb\t\r\nc \rd\n\r\n\r", {}, "text/html;", "index[1].mht"},
        {"From at the start of lines", "From here\r\n<p>x</p>\nFrom there\n>From\r\n", {}, "text/html;", "index[1].mht"},
        {"delimiter lines, exact and padded",
         "<p>x</p>\r\n------=gleaner\r\nContent-Type: text/html\r\n\r\nforged\r\n------=gleaner--\r\n"
         "------=gleaner \r\n------=gleaner--\t\n----=gleaner\n--------=gleaner\r\n------=gleaner",
                                     {}, "text/html;", "index[1].mht"},
        {"only NULs",                QByteArray(5000, '\0'), {}, "text/html;", "index[1].mht"},
        {"empty",                    "", {}, "text/html;", "index[1].mht"},
        {"every byte value",         everyByte, {}, "text/html;", "index[1].mht"},
        {"a lone LF where a line is full", QByteArray(73, 'x') + "\n" + QByteArray(75, '=') + "\r\r\n", {},
                                     "text/html;", "index[1].mht"},
        {"GBK, its charset kept",    "<meta charset=gbk><title>" + gbk.encode(QStringLiteral("中文")) + bytes("</title>\0\r\n"),
                                     {}, "text/html; charset=gbk", "中文.mht"},
        {"UTF-16 with a byte order mark", utf16, {}, "text/html; charset=utf-16le", "index[1].mht"},
        {"a charset that would end its header line", "<p>x</p>",
         QStringLiteral("text/html; charset=\"utf-8\r\n------=gleaner\r\nX: y\""), "text/html; charset=utf-8",
         "index[1].mht"},
    };
    // clang-format on
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QString url = QStringLiteral("http://h/dir/page%1.html").arg(++n);
        cache_.add(url, QStringLiteral("index%1[1].htm").arg(n), c.page, c.contentType);
        QString title;
        const QByteArray archive = harvest(url, QStringLiteral("%1.mht").arg(n), &title);
        ASSERT_FALSE(archive.isEmpty());

        const StrictMimeReader::Archive read = StrictMimeReader::read(archive);
        ASSERT_EQ(read.error, "") << archive.left(4000).toStdString();
        EXPECT_EQ(read.boundary, "----=gleaner");
        EXPECT_EQ(read.type, "text/html");
        ASSERT_EQ(read.parts.size(), 1);
        const StrictMimeReader::Part& page = read.parts.first();
        EXPECT_EQ(page.body, c.page);
        EXPECT_EQ(page.header("Content-Type"), c.partType);
        EXPECT_EQ(page.header("Content-Location"), url.toUtf8());
        EXPECT_EQ(read.epilogue, "");
        EXPECT_EQ(DestinationNamer::documentName(QStringLiteral("index[1].htm"), title), c.archiveName);
    }
}

TEST_F(ArchiveRoundTripTest, EveryPartDecodesToWhatTheCacheHeld)
{
    // Every body could forge a part or cut the archive short if it were written as it is.
    const QByteArray forgery = "\r\n------=gleaner\r\nContent-Location:http://h/x\r\n\r\nx\r\n------=gleaner--\r\n";
    const QByteArray picture = bytes("\x89PNG\0\r\n\x1a\n") + forgery + bytes("\0\xFF");
    const QByteArray sheet = bytes("p{background:url(p.png)}\0\r") + forgery + "\n";
    const QByteArray script = bytes("var a = 1;\0\n") + forgery;
    const QByteArray frame = bytes("<img src=p.png>\0") + forgery + "\r";
    const QByteArray page = "<link rel=stylesheet href=s.css><script src=m.js></script><iframe src=f.html></iframe>" +
                            forgery + "<img src=p.png>";
    cache_.add("http://h/dir/p.png", "p[1].png", picture, "image/png");
    cache_.add("http://h/dir/s.css", "s[1].css", sheet, "text/css");
    cache_.add("http://h/dir/m.js", "m[1].js", script, "text/javascript");
    cache_.add("http://h/dir/f.html", "f[1].html", frame, "text/html");
    cache_.add("http://h/dir/page.html", "page[1].html", page, "text/html");

    MhtmlComposer::Report report;
    const StrictMimeReader::Archive read =
        StrictMimeReader::read(harvest("http://h/dir/page.html", "page.mht", nullptr, &report));
    ASSERT_EQ(read.error, "");
    EXPECT_EQ(report.embedded, 4);

    struct Expected
    {
        QByteArray location;
        QByteArray type;
        QByteArray encoding;
        QByteArray body;
    };
    const Expected expected[] = {
        {"http://h/dir/page.html", "text/html;", "quoted-printable", page},
        {"http://h/dir/s.css", "text/css", "quoted-printable", sheet},
        {"http://h/dir/m.js", "text/javascript", "quoted-printable", script},
        {"http://h/dir/f.html", "text/html", "quoted-printable", frame},
        {"http://h/dir/p.png", "image/png", "base64", picture},
    };
    ASSERT_EQ(read.parts.size(), std::size(expected));
    for (qsizetype i = 0; i < read.parts.size(); ++i) {
        SCOPED_TRACE(expected[i].location.constData());
        const StrictMimeReader::Part& part = read.parts[i];
        EXPECT_EQ(part.header("Content-Location"), expected[i].location);
        EXPECT_EQ(part.header("Content-Type"), expected[i].type);
        EXPECT_EQ(part.header("Content-Transfer-Encoding"), expected[i].encoding);
        EXPECT_EQ(part.body, expected[i].body);
    }
}

// The reader is as strict as the round trips need it to be: it refuses, rather than guesses at, an
// archive a lenient reader could read otherwise, and it finds the forged part in an archive that wrote a
// page's lines as they are.
TEST(StrictMimeReaderTest, RefusesWhatItWouldHaveToGuessAt)
{
    const QByteArray head = "MIME-Version: 1.0\r\nContent-Type: multipart/related;\r\n"
                            "\tboundary=\"----=b\"; type=\"text/html\"\r\n\r\npreamble\r\n";
    const auto archive = [&](const QByteArray& encoding, const QByteArray& body) {
        return head + "------=b\r\nContent-Type: text/html\r\nContent-Transfer-Encoding: " + encoding + "\r\n\r\n" +
               body + "\r\n------=b--\r\n";
    };
    struct Case
    {
        const char* name;
        QByteArray text;
        QByteArray error; // the start of the complaint; empty where the text is well formed
        QByteArray firstBody = {};
    };
    // clang-format off
    const Case cases[] = {
        {"quoted-printable",            archive("quoted-printable", "a=3D=\r\nb=00\r\n"), "", bytes("a=b\0\r\n")},
        {"base64",                      archive("base64", "YT1i\r\nAA=="), "", bytes("a=b\0")},
        {"lower-case escape",           archive("quoted-printable", "a=3d"), "part 1: a broken escape"},
        {"quoted-printable line of 77", archive("quoted-printable", QByteArray(77, 'x')), "part 1: a quoted-printable line of 77"},
        {"blank before a line end",     archive("quoted-printable", "a \r\nb"), "part 1: a quoted-printable line ends in a blank"},
        {"bare LF",                     archive("quoted-printable", "a\nb"), "part 1: a bare LF"},
        {"NUL",                         archive("quoted-printable", bytes("a\0")), "part 1: a character quoted-printable cannot hold"},
        {"soft break at the end",       archive("quoted-printable", "a="), "part 1: a soft line break ends the body"},
        {"base64 not canonical",        archive("base64", "YR=="), "part 1: base64 that is not canonical"},
        {"a line like a delimiter",     archive("8bit", "x\r\n------=bx"), "a line starts like a delimiter"},
        {"a NUL in 7bit",               archive("7bit", bytes("\0")), "part 1: a byte a text body cannot hold"},
        {"no closing delimiter",        head + "------=b\r\n\r\nx\r\n", "no closing delimiter"},
        {"a page written as it is",     archive("8bit", "x\r\n------=b\r\nContent-Type: text/html\r\n\r\nforged"), "", "x"},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const StrictMimeReader::Archive read = StrictMimeReader::read(c.text);
        EXPECT_TRUE(read.error.startsWith(c.error)) << read.error.toStdString();
        if (c.error.isEmpty()) {
            ASSERT_FALSE(read.parts.isEmpty());
            EXPECT_EQ(read.parts.first().body, c.firstBody);
        }
    }
    EXPECT_EQ(StrictMimeReader::read(cases[std::size(cases) - 1].text).parts.size(), 2);
}

} // namespace
