#include "engine/archive/PageModel.h"

#include "QtPrinters.h"
#include "engine/archive/CssReferenceFinder.h"
#include "engine/archive/HtmlReferenceFinder.h"

#include <QElapsedTimer>
#include <gtest/gtest.h>

namespace
{

using Kind = PageReference::Kind;

const QString kPage = QStringLiteral("http://h/dir/page.html");

// "url kind" of every reference the page loads, in document order.
QStringList loaded(const PageModel& page)
{
    QStringList found;
    for (const PageModel::Reference& reference : page.references()) {
        if (reference.loadedByBrowser)
            found << reference.url + " " + QString::number(int(reference.kind));
    }
    return found;
}

QString ref(const char* path, Kind kind = Kind::Resource)
{
    return QStringLiteral("http://h%1 %2").arg(QLatin1String(path)).arg(int(kind));
}

TEST(PageModelTest, FindsEveryFormAPageLoadsAResourceBy)
{
    struct Case
    {
        const char* name;
        QByteArray html;
        QStringList expected;
    };
    // clang-format off
    const Case cases[] = {
        {"quotes and letter case", R"(<img src='q.gif'><IMG Src="m.gif"><img src=u.gif>)",
         {ref("/dir/q.gif"), ref("/dir/m.gif"), ref("/dir/u.gif")}},
        {"a tag across lines", "<img\n  alt=\"x\"\n  src=\"split.jpg\"\n>", {ref("/dir/split.jpg")}},
        {"srcset and picture", R"(<picture><source srcset="p.webp" type="image/webp"><img src="p.png" srcset="s1.png 1x, s2.png 2x"></picture>)",
         {ref("/dir/p.webp"), ref("/dir/p.png"), ref("/dir/s1.png"), ref("/dir/s2.png")}},
        {"a srcset address with commas", R"(<img srcset="a,b.png 100w,c.png 2x">)", {ref("/dir/a,b.png"), ref("/dir/c.png")}},
        {"backgrounds, posters, objects, inputs", R"(<body background="bg.gif"><table><td background=td.gif></td></table><video poster="po.png"></video><object data="o.svg"></object><input type=image src="btn.png">)",
         {ref("/dir/bg.gif"), ref("/dir/td.gif"), ref("/dir/po.png"), ref("/dir/o.svg"), ref("/dir/btn.png")}},
        {"links", "<link rel=\"icon\" href=\"/favicon.ico\"><link\n rel=\"stylesheet\"\n href=\"s.css\"><link rel=preload as=style href=p.css><link rel=canonical href=c.html>",
         {ref("/favicon.ico"), ref("/dir/s.css", Kind::StyleSheet), ref("/dir/p.css", Kind::StyleSheet)}},
        {"scripts and frames", R"(<script src="/js/m.js"></script><iframe src="f.html"></iframe><frameset><frame src="g.html"></frameset>)",
         {ref("/js/m.js", Kind::Script), ref("/dir/f.html", Kind::Frame), ref("/dir/g.html", Kind::Frame)}},
        {"style blocks and attributes", R"x(<style>@import "i.css"; p { background: url( 'b.png' ) }</style><p style="background-image:url(&quot;a.png&quot;)">)x",
         {ref("/dir/i.css", Kind::StyleSheet), ref("/dir/b.png"), ref("/dir/a.png")}},
        {"fragments kept, character references undone", R"(<img src="chart.svg#v2"><img src="show.php?id=1&amp;size=2">)",
         {ref("/dir/chart.svg#v2"), ref("/dir/show.php?id=1&size=2")}},
        {"a base address", R"(<base href="http://other/base/"><img src="x.gif">)", {"http://other/base/x.gif 0"}},
        {"a NUL hides nothing after it", QByteArray("<p>\0</p><img src=\"after.gif\">\0", 30), {ref("/dir/after.gif")}},
        {"what is no web address", R"x(<img src="data:image/gif;base64,R0lGOD"><img src=""><img src="javascript:void(0)">)x", {}},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(loaded(PageModel::parse(kPage, c.html)), c.expected);
    }
}

TEST(PageModelTest, KeepsTheLineBySrcTextWhereNoMarkupLoadsIt)
{
    const PageModel page = PageModel::parse(kPage, R"x(<script>document.write('<img src="w.gif">');</script>)x");
    ASSERT_EQ(page.references().size(), 1);
    EXPECT_EQ(page.references().first().url, "http://h/dir/w.gif");
    EXPECT_FALSE(page.references().first().loadedByBrowser);
}

TEST(PageModelTest, TheCharsetComesFromTheByteOrderMarkThenTheHeaderThenTheMeta)
{
    // "图标.png" in GBK; browsers request the path in UTF-8.
    const QByteArray gbkPage = "<meta charset=gbk><title>\xD6\xD0\xCE\xC4</title><img src=\"\xCD\xBC\xB1\xEA.png\">";
    const PageModel meta = PageModel::parse(kPage, gbkPage);
    EXPECT_EQ(meta.charset(), "gbk");
    EXPECT_EQ(meta.title(), QStringLiteral("中文"));
    EXPECT_EQ(loaded(meta), QStringList{ref("/dir/%E5%9B%BE%E6%A0%87.png")});

    EXPECT_EQ(PageModel::parse(kPage, "<p>x</p>", "text/html; charset=\"GB2312\"").charset(), "gb2312");
    EXPECT_EQ(PageModel::parse(kPage, gbkPage, "text/html; charset=big5").charset(), "big5");
    EXPECT_EQ(PageModel::parse(kPage, "\xEF\xBB\xBF<p>", "text/html; charset=gbk").charset(), "utf-8");
    EXPECT_EQ(PageModel::parse(kPage, "<p>x</p>", "text/html").charset(), "");
    // A NUL hides nothing after it; a charset is a name, never the end of a header line.
    EXPECT_EQ(PageModel::parse(kPage, QByteArray("\0<meta charset=\"big5\">", 22)).charset(), "big5");
    EXPECT_EQ(PageModel::parse(kPage, "<p>x</p>", "text/html; charset=\"utf-8\r\nX: y\"").charset(), "utf-8");
}

TEST(PageModelTest, NestingAndRawTextAreReadAsATokenizerReadsThem)
{
    // No tree is built: deep nesting costs what reading it costs.
    const QByteArray deep = QByteArray("<div><b>").repeated(200000) + "<img src=\"deep.gif\">";
    EXPECT_EQ(loaded(PageModel::parse(kPage, deep)), QStringList{ref("/dir/deep.gif")});

    struct Case
    {
        const char* name;
        QByteArray html;
        QStringList expected;
    };
    // clang-format off
    const Case cases[] = {
        {"comments", "<!-- <img src=c1.gif> --><!--><img src=a.gif><!---><img src=b.gif><!-- x --!><img src=c.gif>",
         {ref("/dir/a.gif"), ref("/dir/b.gif"), ref("/dir/c.gif")}},
        {"raw text up to its own end tag", "<textarea><img src=t.gif></textarea ><title><img src=u.gif></TITLE><img src=v.gif>",
         {ref("/dir/v.gif")}},
        {"a script's text is no markup", "<script>var s = '</scr' + 'ipt><img src=s.gif>';</script><img src=w.gif>",
         {ref("/dir/w.gif")}},
        {"end tags and declarations", "<!DOCTYPE html><?xml x?></p x=<img src=e.gif>><img src=f.gif>", {ref("/dir/f.gif")}},
        {"the first of two attributes", "<img src=one.gif SRC=two.gif>", {ref("/dir/one.gif")}},
        {"references", "<img src=\"a&#x2e;gif\"><img src='b&#46;gif?x=1&amp;y&lt=2&copy;'>",
         {ref("/dir/a.gif"), ref("/dir/b.gif?x=1&y&lt=2&copy;")}},
        {"a tag cut short", "<img src=\"cut.gif", {}},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(loaded(PageModel::parse(kPage, c.html)), c.expected);
    }
}

TEST(CssReferenceFinderTest, StopsAtItsCap)
{
    const QString css = QStringLiteral("a{background:url(x.png)}").repeated(100);
    EXPECT_EQ(CssReferenceFinder::find(css, 7).size(), 7);
}

TEST(CssReferenceFinderTest, FindsUrlsImportsAndImageSets)
{
    struct Case
    {
        const char* name;
        QString css;
        QStringList expected; // "kind text"
    };
    // clang-format off
    const Case cases[] = {
        {"quoting", R"(a{background:url(a.png)} b{background:URL( "b.png" )} c{background:url('c.png')})", {"0 a.png", "0 b.png", "0 c.png"}},
        {"imports", R"(@import "i.css"; @import url(j.css) screen; @IMPORT 'k.css';)", {"1 i.css", "1 j.css", "1 k.css"}},
        {"fonts", R"x(@font-face{src:url(f.woff2) format("woff2"),url(f.woff) format("woff")})x", {"0 f.woff2", "0 f.woff"}},
        {"image-set", R"x(a{background:image-set("x1.png" 1x, url(x2.png) 2x, "x3.avif" type("image/avif"))})x", {"0 x1.png", "0 x2.png", "0 x3.avif"}},
        {"comments and strings are not addresses", R"x(/* url(no.png) */ a{content:"url(no2.png)"} b{background:url(yes.png)})x", {"0 yes.png"}},
        {"escapes", R"x(a{background:url(sp\ ace.png)} b{background:url("q\"uote.png")} c{background:url(\61 .png)})x", {"0 sp ace.png", "0 q\"uote.png", "0 a.png"}},
        {"not functions", R"(.url{x:1} a{background:myurl(no.png)} b{background:url()})", {}},
        {"cut short", R"x(a{background:url("open.png)x", {"0 open.png"}},
        {"any letter case, prefixed", R"x(a{background:-webkit-IMAGE-SET("w.png" 1x)} b{list-style:Url(u.png)})x", {"0 w.png", "0 u.png"}},
        {"only brackets and at-rules that load nothing", R"x(a{width:calc(1px + 2%)} @media (min-width:1px){b{color:rgb(0 0 0)}} @)x", {}},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QStringList found;
        for (const PageReference& reference : CssReferenceFinder::find(c.css))
            found << QString::number(int(reference.kind)) + " " + reference.text;
        EXPECT_EQ(found, c.expected);
    }
}

} // namespace
