// Pages and sheets built to make what reads them crash, hang or swell, each made by a few lines
// (HostilePages.h): each is read with what it holds, whatever it holds beside that, and a cap reached is
// reported. Speed is the benchmark's business (hostile_page_benchmark); a guard only turns a hang into a
// failure here.

#include "engine/archive/CssReferenceFinder.h"
#include "engine/archive/HostilePages.h"
#include "engine/archive/HtmlReferenceFinder.h"
#include "engine/archive/HtmlTokenizer.h"
#include "engine/archive/PageModel.h"
#include "engine/archive/PageText.h"

#include "QtPrinters.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <gtest/gtest.h>
#include <thread>

namespace
{

const QString kPage = QStringLiteral("http://h/dir/page.html");
// Large enough for every count cap, small enough for a sanitizer build.
constexpr qsizetype kPageSize = 1 << 20;

// `work()`, given up on as a hang after a minute: the test program then ends, failed, since the thread
// cannot be stopped.
template <typename Work>
auto guarded(const char* what, Work work)
{
    std::packaged_task<decltype(work())()> task(std::move(work));
    auto result = task.get_future();
    std::thread(std::move(task)).detach();
    if (result.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
        std::fprintf(stderr, "%s: still running after 60 s\n", what);
        std::_Exit(1);
    }
    return result.get();
}

// `unit` as many times as fit in `size` characters.
QString fill(const char* unit, qsizetype size)
{
    return QString::fromLatin1(unit).repeated(size / qsizetype(std::strlen(unit)));
}

bool hasUrlEndingWith(const PageModel& page, const char* end)
{
    return std::any_of(page.references().begin(), page.references().end(),
                       [&](const PageModel::Reference& reference) { return reference.url.endsWith(end); });
}

TEST(HostilePageTest, EveryShapeIsReadForWhatItHolds)
{
    for (const HostilePages::Shape& shape : HostilePages::kShapes) {
        SCOPED_TRACE(shape.name);
        const QByteArray html = shape.make(kPageSize);
        const PageModel page = guarded(shape.name, [&] { return PageModel::parse(kPage, html); });
        EXPECT_EQ(page.bytes(), html);
        EXPECT_EQ(hasUrlEndingWith(page, "/dir/before.gif"), shape.before);
        EXPECT_EQ(hasUrlEndingWith(page, "/dir/after.gif"), shape.after);
        EXPECT_EQ(page.capped(), shape.capped);
        EXPECT_LE(page.references().size(), PageModel::kMaxReferences);

        // The page as a sheet, as the fuzzer reads it: it ends, and within its caps.
        const QList<PageReference> asSheet =
            guarded(shape.name, [&] { return CssReferenceFinder::find(QString::fromUtf8(html)); });
        EXPECT_LE(asSheet.size(), CssReferenceFinder::kMaxReferences);
    }
}

TEST(HostilePageTest, SheetsAreReadForWhatTheyHold)
{
    struct Case
    {
        const char* name;
        QString (*make)(qsizetype size); // the hostile part
        bool after;                      // the address after it is found
        bool capped;
    };
    // clang-format off
    const Case cases[] = {
        {"image-set nested deep, then closed", [](qsizetype n) { return "a{b:" + fill("image-set(", n / 2) + fill(")", n / 20) + "}"; }, true, true},
        {"image-set nested deep, never closed", [](qsizetype n) { return "a{b:" + fill("image-set(\"x.png\" 1x,", n) + "}"; }, false, true},
        {"url( ( (", [](qsizetype n) { return "a{b:url(" + fill("( ", n) + ")}"; }, true, true},
        {"brackets nested deep", [](qsizetype n) { return "a{b:" + fill("(", n) + fill(")", n) + "}"; }, true, false},
        {"a long string", [](qsizetype n) { return "a{content:\"" + fill("x", n) + "\"}"; }, true, false},
        {"a long @import string", [](qsizetype n) { return "@import \"" + fill("x", n) + "\";"; }, true, true},
        {"a long data: address", [](qsizetype n) { return "a{b:url(data:font/woff2;base64," + fill("A", n) + ")}"; }, true, false},
        {"a long address made of escapes", [](qsizetype n) { return "a{b:url(" + fill("\\61 ", n) + ")}"; }, true, true},
        {"a string of escaped line breaks", [](qsizetype n) { return "a{b:url('" + fill("\\\n", n) + "')}"; }, true, false},
        {"many comments", [](qsizetype n) { return fill("/**/", n); }, true, false},
        {"many @", [](qsizetype n) { return fill("@imp", n); }, true, false},
        {"many words", [](qsizetype n) { return fill("url url(", n) + ")"; }, true, true},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QString css =
            "@import 'before.css'; a{b:url(before.png)}\n" + c.make(kPageSize) + "\na{b:url(after.png)}";
        bool capped = false;
        const QList<PageReference> found =
            guarded(c.name, [&] { return CssReferenceFinder::find(css, CssReferenceFinder::kMaxReferences, &capped); });
        QStringList texts;
        for (const PageReference& reference : found)
            texts << reference.text;
        ASSERT_GE(texts.size(), 2);
        EXPECT_EQ(texts.mid(0, 2), (QStringList{"before.css", "before.png"}));
        EXPECT_EQ(texts.last() == "after.png", c.after);
        EXPECT_EQ(capped, c.capped);

        // The same sheet in UTF-8, as a page's style blocks are read.
        bool cappedInUtf8 = false;
        const QList<PageReference> inUtf8 =
            CssReferenceFinder::findInUtf8(css.toUtf8(), CssReferenceFinder::kMaxReferences, &cappedInUtf8);
        EXPECT_EQ(inUtf8.size(), found.size());
        EXPECT_EQ(cappedInUtf8, capped);
    }
}

TEST(HostilePageTest, TheSheetScannerStopsAtItsCaps)
{
    bool capped = false;
    EXPECT_EQ(CssReferenceFinder::find(u"url(a) url(b) url(c)", 3, &capped).size(), 3);
    EXPECT_FALSE(capped);
    EXPECT_EQ(CssReferenceFinder::find(u"url(a) url(b) url(c) url(d)", 3, &capped).size(), 3);
    EXPECT_TRUE(capped);

    // Long addresses fill the total before the count.
    const QString address = QString(CssReferenceFinder::kMaxReferenceLength, u'a');
    const qsizetype fit = CssReferenceFinder::kMaxTotalLength / address.size();
    capped = false;
    EXPECT_EQ(CssReferenceFinder::find(("url(" + address + ")").repeated(fit + 1), fit + 10, &capped).size(), fit);
    EXPECT_TRUE(capped);

    // An address of exactly the longest length is kept; one longer is not.
    capped = false;
    EXPECT_EQ(CssReferenceFinder::find("url(" + address + ")", 10, &capped).size(), 1);
    EXPECT_FALSE(capped);
    EXPECT_TRUE(CssReferenceFinder::find("url(" + address + "b)", 10, &capped).isEmpty());
    EXPECT_TRUE(capped);

    // image-set in image-set is read up to the nesting cap, and past it only read over.
    const auto nested = [](int depth) {
        return QStringLiteral("image-set(").repeated(depth) + "'in.png'" + QStringLiteral(")").repeated(depth) +
               " url(after.png)";
    };
    capped = false;
    EXPECT_EQ(CssReferenceFinder::find(nested(CssReferenceFinder::kMaxNesting), 10, &capped).size(), 2);
    EXPECT_FALSE(capped);
    const QList<PageReference> tooDeep =
        CssReferenceFinder::find(nested(CssReferenceFinder::kMaxNesting + 1), 10, &capped);
    ASSERT_EQ(tooDeep.size(), 1);
    EXPECT_EQ(tooDeep.first().text, "after.png");
    EXPECT_TRUE(capped);
}

TEST(HostilePageTest, ATagKeepsItsFirstAttributesUpToTheCap)
{
    QByteArray html = "<img";
    for (int i = 0; i < HtmlTokenizer::kMaxAttributes + 500; ++i)
        html += " a" + QByteArray::number(i) + "=" + QByteArray::number(i);
    html += " src=late.gif></img a=1 b=2><p>";
    QList<HtmlTokenizer::StartTag> tags;
    bool capped = false;
    HtmlTokenizer::tokenize(
        html, [&](const HtmlTokenizer::StartTag& tag) { tags << tag; }, [](const QByteArray&, QByteArrayView) {},
        &capped);
    ASSERT_EQ(tags.size(), 2);
    EXPECT_TRUE(capped);
    EXPECT_EQ(tags[0].attributes.size(), HtmlTokenizer::kMaxAttributes);
    EXPECT_EQ(tags[0].attributes.first(), (std::pair<QByteArray, QByteArray>{"a0", "0"}));
    EXPECT_EQ(tags[0].attributes.last().first, "a" + QByteArray::number(HtmlTokenizer::kMaxAttributes - 1));
    EXPECT_EQ(tags[0].value("src"), nullptr);
    EXPECT_EQ(tags[1].name, "p");
    EXPECT_TRUE(tags[1].attributes.isEmpty());

    // Fewer than the cap: not capped, and an end tag's attributes do not count.
    capped = false;
    HtmlTokenizer::tokenize(
        "<img a=1 b=2></img " + QByteArray("x ").repeated(5000) + ">", [](const HtmlTokenizer::StartTag&) {},
        [](const QByteArray&, QByteArrayView) {}, &capped);
    EXPECT_FALSE(capped);
}

TEST(HostilePageTest, ARepeatedAttributeKeepsTheFirstValueHoweverManyCameBefore)
{
    for (int before : {1, 15, 16, 17, 100, int(HtmlTokenizer::kMaxAttributes) - 2}) {
        SCOPED_TRACE(before);
        QByteArray html = "<img src=first.gif";
        for (int i = 0; i < before; ++i)
            html += " a" + QByteArray::number(i);
        html += " SRC=second.gif a0=late>";
        QList<HtmlTokenizer::StartTag> tags;
        HtmlTokenizer::tokenize(
            html, [&](const HtmlTokenizer::StartTag& tag) { tags << tag; }, [](const QByteArray&, QByteArrayView) {});
        ASSERT_EQ(tags.size(), 1);
        EXPECT_EQ(tags[0].attributes.size(), before + 1);
        EXPECT_EQ(*tags[0].value("src"), "first.gif");
        EXPECT_EQ(*tags[0].value("a0"), "");
    }
}

TEST(HostilePageTest, AValueWithoutReferencesSharesTheTextsBytes)
{
    const QByteArray html = "<img src=\"" + QByteArray(1 << 20, 'a') + "\" alt=\"x&amp;y\">";
    HtmlTokenizer::tokenize(
        html,
        [&](const HtmlTokenizer::StartTag& tag) {
            const QByteArray* src = tag.value("src");
            ASSERT_NE(src, nullptr);
            EXPECT_EQ(src->size(), 1 << 20);
            EXPECT_EQ(src->constData(), html.constData() + 10);
            EXPECT_EQ(*tag.value("alt"), "x&y");
        },
        [](const QByteArray&, QByteArrayView) {});
}

TEST(HostilePageTest, HtmlReferencesStopAtTheirCaps)
{
    // Count: the references past the cap are left out, and that is said.
    const HtmlReferenceFinder::Found many =
        HtmlReferenceFinder::find(QByteArray("<img src=a.gif>").repeated(HtmlReferenceFinder::kMaxReferences + 1));
    EXPECT_EQ(many.references.size(), HtmlReferenceFinder::kMaxReferences);
    EXPECT_TRUE(many.capped);
    EXPECT_FALSE(
        HtmlReferenceFinder::find(QByteArray("<img src=a.gif>").repeated(HtmlReferenceFinder::kMaxReferences)).capped);

    // Length: an address too long is dropped and said to be; a data: one only dropped. Blanks around an
    // address do not count.
    const QByteArray longest(HtmlReferenceFinder::kMaxReferenceLength, 'a');
    const auto found = [](const QByteArray& html) { return HtmlReferenceFinder::find(html); };
    EXPECT_EQ(found("<img src=\"\xC2\xA0 " + longest + " \xE3\x80\x80\">").references.size(), 1);
    EXPECT_FALSE(found("<img src=\"" + longest + "\">").capped);
    const HtmlReferenceFinder::Found tooLong = found("<img src=\"" + longest + "b\"><img src=x.gif>");
    EXPECT_EQ(tooLong.references.size(), 1);
    EXPECT_TRUE(tooLong.capped);
    const HtmlReferenceFinder::Found data = found("<img src=\"data:" + longest + "\"><img src=x.gif>");
    EXPECT_EQ(data.references.size(), 1);
    EXPECT_FALSE(data.capped);

    // A srcset's candidates count one by one.
    const HtmlReferenceFinder::Found srcset =
        found("<img srcset=\"" + QByteArray("a.png 1x, ").repeated(HtmlReferenceFinder::kMaxReferences + 5) + "\">");
    EXPECT_EQ(srcset.references.size(), HtmlReferenceFinder::kMaxReferences);
    EXPECT_TRUE(srcset.capped);

    // Style attributes and blocks share the page's cap.
    const HtmlReferenceFinder::Found styles =
        found(QByteArray("<p style='background:url(s.png)'>").repeated(HtmlReferenceFinder::kMaxReferences - 1) +
              "<style>url(a.png) url(b.png)</style>");
    EXPECT_EQ(styles.references.size(), HtmlReferenceFinder::kMaxReferences);
    EXPECT_EQ(styles.references.last().text, "a.png");
    EXPECT_TRUE(styles.capped);
}

TEST(HostilePageTest, APageIsDecodedFromItsCharsetUpToTheCap)
{
    // "中" in GBK: decoded from GBK before the cap, and read as UTF-8, which it is not, past it.
    const QByteArray picture = "<img src=\"\xD6\xD0.png\">";
    const QByteArray head = "<meta charset=gbk>" + picture;
    const QByteArray html = head + QByteArray(PageModel::kMaxCharsetDecoded - head.size(), ' ') + picture;
    const PageModel page = guarded("a page past the cap", [&] { return PageModel::parse(kPage, html); });
    EXPECT_TRUE(page.capped());
    QStringList urls;
    for (const PageModel::Reference& reference : page.references())
        urls << reference.url;
    EXPECT_EQ(urls, (QStringList{"http://h/dir/%E4%B8%AD.png", "http://h/dir/%EF%BF%BD%EF%BF%BD.png"}));

    const PageModel within = PageModel::parse(kPage, html.first(PageModel::kMaxCharsetDecoded));
    EXPECT_FALSE(within.capped());
    EXPECT_EQ(within.references().size(), 1);
}

TEST(HostilePageTest, ALongTitleIsCutAtACharacter)
{
    const QByteArray title = "\xE4\xB8\xAD" + QByteArray(PageText::kMaxTitleLength - 4, 'a') + "\xE6\x96\x87" + "zz";
    const QString read = PageText::title(QByteArrayView("<title>" + title + "</title>"));
    EXPECT_EQ(read, QStringLiteral("中") + QString(PageText::kMaxTitleLength - 4, u'a'));
    // The page read whole gives what its lines give.
    const QByteArray page = "<title>one</title>\r<meta charset=gbk>\n<TITLE>\xD6\xD0</TITLE>\r\nx";
    EXPECT_EQ(PageText::title(QByteArrayView(page)), PageText::title(PageText::splitLines(page)));
    EXPECT_EQ(PageText::title(QByteArrayView(page)), QStringLiteral("中"));
    EXPECT_EQ(PageText::declaredCharset(QByteArrayView(page)), "gbk");
}

} // namespace
