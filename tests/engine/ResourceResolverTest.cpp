#include "engine/ResourceResolver.h"

#include "MapCache.h"
#include "QtPrinters.h"
#include "engine/cache/EntryBody.h"
#include "engine/cache/SimpleCache.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace
{

using Kind = ResourceResolver::Kind;

TEST(ResourceResolverTest, ExtractSrcRefTakesTheTextAfterTheFirstSrc)
{
    struct Case
    {
        const char* name;
        QByteArray line;
        QByteArray reference;
    };
    // clang-format off
    const Case cases[] = {
        {"double-quoted",                 R"(<img src="logo.gif">)",                "logo.gif"},
        {"unquoted, ends at >",           "<script src=/js/menu.js></script>",      "/js/menu.js"},
        {"ends at a space",               "<img src=a.gif alt=x>",                  "a.gif"},
        {"spaces and quotes skipped",     R"(<img src= " "x.gif">)",                "x.gif"},
        {"single quotes kept",            "<img src='a.gif'>",                      "'a.gif'"},
        {"tab is no delimiter",           "<img src=a.gif\tb>",                     "a.gif\tb"},
        {"first character always taken",  "<img src=>",                             ">"},
        {"lower case before upper case",  R"(<img SRC="up.gif"><img src="low.gif">)", "low.gif"},
        {"upper case when alone",         R"(<IMG SRC="UP.GIF">)",                  "UP.GIF"},
        {"mixed case not recognised",     R"(<img Src="a.gif">)",                   ""},
        {"nothing after src=",            "<img src=",                              ""},
        {"only quotes after src=",        R"(<img src="")",                         ""},
        {"attributes ending in src",      R"(<img data-src="lazy.jpg">)",           "lazy.jpg"},
        {"first of two",                  R"(<img src="a.gif"><img src="b.gif">)",  "a.gif"},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ResourceResolver::ExtractSrcRef(c.line), c.reference);
    }
}

struct ResolveCase
{
    const char* base;
    const char* reference;
    const char* resolved;
};

void expectResolved(const std::vector<ResolveCase>& cases)
{
    for (const ResolveCase& c : cases) {
        SCOPED_TRACE(std::string(c.base) + " + " + c.reference);
        EXPECT_EQ(ResourceResolver::ResolveRef(QString::fromUtf8(c.reference), QString::fromUtf8(c.base)),
                  QString::fromUtf8(c.resolved));
    }
}

TEST(ResourceResolverTest, ResolvesAsRfc3986Section5_4)
{
    const char* base = "http://a/b/c/d;p?q";
    // clang-format off
    expectResolved({
        // 5.4.1, normal examples. Nothing for "g:h", which is no web address, and for "", which names no
        // resource; nor for "http:g" below, which a strict resolver keeps as it is: an address without a host.
        {base, "g:h", ""},           {base, "g", "http://a/b/c/g"},           {base, "./g", "http://a/b/c/g"},
        {base, "g/", "http://a/b/c/g/"}, {base, "/g", "http://a/g"},          {base, "//g", "http://g"},
        {base, "?y", "http://a/b/c/d;p?y"}, {base, "g?y", "http://a/b/c/g?y"}, {base, "#s", "http://a/b/c/d;p?q#s"},
        {base, "g#s", "http://a/b/c/g#s"}, {base, "g?y#s", "http://a/b/c/g?y#s"}, {base, ";x", "http://a/b/c/;x"},
        {base, "g;x", "http://a/b/c/g;x"}, {base, "g;x?y#s", "http://a/b/c/g;x?y#s"}, {base, "", ""},
        {base, ".", "http://a/b/c/"}, {base, "./", "http://a/b/c/"},          {base, "..", "http://a/b/"},
        {base, "../", "http://a/b/"}, {base, "../g", "http://a/b/g"},         {base, "../..", "http://a/"},
        {base, "../../", "http://a/"}, {base, "../../g", "http://a/g"},
        // 5.4.2, abnormal examples
        {base, "../../../g", "http://a/g"}, {base, "../../../../g", "http://a/g"},
        {base, "/./g", "http://a/g"}, {base, "/../g", "http://a/g"},          {base, "g.", "http://a/b/c/g."},
        {base, ".g", "http://a/b/c/.g"}, {base, "g..", "http://a/b/c/g.."},   {base, "..g", "http://a/b/c/..g"},
        {base, "./../g", "http://a/b/g"}, {base, "./g/.", "http://a/b/c/g/"}, {base, "g/./h", "http://a/b/c/g/h"},
        {base, "g/../h", "http://a/b/c/h"}, {base, "g;x=1/./y", "http://a/b/c/g;x=1/y"},
        {base, "g;x=1/../y", "http://a/b/c/y"}, {base, "g?y/./x", "http://a/b/c/g?y/./x"},
        {base, "g?y/../x", "http://a/b/c/g?y/../x"}, {base, "g#s/./x", "http://a/b/c/g#s/./x"},
        {base, "g#s/../x", "http://a/b/c/g#s/../x"}, {base, "http:g", ""},
    });
    // clang-format on
}

TEST(ResourceResolverTest, ResolvesPageReferencesLikeABrowser)
{
    // clang-format off
    expectResolved({
        {"http://host/news/today.htm", "logo.gif",            "http://host/news/logo.gif"},
        {"http://host/news/today.htm", "/js/menu.js",         "http://host/js/menu.js"},
        {"http://host/a/b/c/",         "img/x.gif",           "http://host/a/b/c/img/x.gif"},
        {"http://host/a/b/c/",         "/img/x.gif",          "http://host/img/x.gif"},
        {"http://host/a/b/c/",         "../x.gif",            "http://host/a/b/x.gif"},
        {"http://host/a/b/c/",         "./x.gif",             "http://host/a/b/c/x.gif"},
        {"http://host/a/b/c/",         "HTTP://other/x.gif",  "http://other/x.gif"},
        {"http://host/a.htm",          "./x.gif",             "http://host/x.gif"},
        {"http://host/",               "x.gif",               "http://host/x.gif"},
        {"https://host/a/page.html",   "x.gif",               "https://host/a/x.gif"},
        {"https://host/a/page.html",   "//cdn.example/x.gif", "https://cdn.example/x.gif"},
        {"http://host:8080/a/",        "x.gif?v=1&w=2",       "http://host:8080/a/x.gif?v=1&w=2"},
        {"http://host/a/",             "img/图标.png",        "http://host/a/img/%E5%9B%BE%E6%A0%87.png"},
        {"http://host/a/",             "a b.gif",             "http://host/a/a%20b.gif"},
        {"http://host/a/",             "'a.gif'",             "http://host/a/'a.gif'"},
        {"http://host/a/",             "javascript:x.js",     ""},
        {"http://host/a/",             "data:image/gif;base64,R0lG", ""},
    });
    // clang-format on
}

TEST(ResourceResolverTest, TypesByTheAddressText)
{
    struct Case
    {
        const char* url;
        std::optional<std::pair<Kind, QString>> type;
    };
    const auto picture = [](const char* type) { return std::pair{Kind::Picture, QString::fromLatin1(type)}; };
    const auto sheet = std::pair{Kind::StyleSheet, QStringLiteral("text/css")};
    const auto script = std::pair{Kind::Script, QStringLiteral("application/octet-stream")};
    // clang-format off
    const Case cases[] = {
        {"http://h/a.css",                 sheet},
        {"http://h/A.CSS",                 sheet},
        {"http://h/a.js",                  script},
        {"http://h/a.JS",                  script},
        {"http://h/menu.jsp",              script},
        {"http://h/data.json",             script},
        {"http://h/a.png?from=b.js",       script},
        {"http://h/a.bmp",                 picture("image/bmp")},
        {"http://h/a.gif",                 picture("image/gif")},
        {"http://h/a.GIF",                 picture("image/gif")},
        {"http://h/show?name=a.gif",       picture("image/gif")},
        {"http://h/a.jpg",                 picture("image/JPEG")},
        {"http://h/a.JPG",                 picture("image/JPEG")},
        {"http://h/movie.swf",             picture("image/swf")},
        {"http://h/a.png",                 picture("image/png")},
        {"http://h/a.jpeg",                picture("image/jpeg")},
        {"http://h/a.webp",                picture("image/webp")},
        {"http://h/a.svg",                 picture("image/svg+xml")},
        {"http://h/favicon.ico",           picture("image/x-icon")},
        {"http://cdn.jsdelivr.net/a.gif",  picture("image/gif")},
        {"http://h/a.Gif",                 std::nullopt},
        {"http://h/frame.htm",             std::nullopt},
        {"http://h/picture?id=5",          std::nullopt},
        {"http://h/page.html#a.gif",       std::nullopt},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        EXPECT_EQ(ResourceResolver::typeOfUrl(QString::fromLatin1(c.url)), c.type);
    }
}

TEST(ResourceResolverTest, FindsLinkedStyleSheets)
{
    struct Case
    {
        const char* name;
        QByteArray line;
        QByteArrayList refs;
    };
    // clang-format off
    const Case cases[] = {
        {"quoted",                   R"(<link rel="stylesheet" href="css/style.css">)",          {"css/style.css"}},
        {"upper case",               R"(<LINK REL="stylesheet" HREF="css/style.css">)",          {"css/style.css"}},
        {"unquoted, href first",     "<link href=a.css rel=stylesheet>",                         {"a.css"}},
        {"single quotes, two rels",  "<link rel='alternate StyleSheet' href='b.css' />",         {"b.css"}},
        {"spaces around equals",     R"(<link rel = "stylesheet" href = "c.css">)",              {"c.css"}},
        {"any address",              R"(<link rel="stylesheet" href="style.php?v=2">)",          {"style.php?v=2"}},
        {"two on a line",            R"(<link rel=stylesheet href=a.css><link rel=stylesheet href="b.css">)", {"a.css", "b.css"}},
        {"quoted > inside",          R"(<link title="a>b" rel="stylesheet" href="d.css">)",      {"d.css"}},
        {"not a style sheet",        R"(<link rel="icon" href="favicon.ico">)",                  {}},
        {"no href",                  R"(<link rel="stylesheet">)",                               {}},
        {"empty href",               R"(<link rel="stylesheet" href="">)",                       {}},
        {"other tag",                R"(<linkage rel="stylesheet" href="x.css">)",               {}},
        {"src= is another walk",     R"(<img src="a.css">)",                                     {}},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ResourceResolver::LinkedStyleSheetRefs(c.line), c.refs);
    }
}

// The bytes of the entry's body as read for an archive part; -1 when it cannot be read.
qint64 bodySize(const std::optional<CacheEntry>& entry)
{
    if (!entry)
        return -1;
    const std::variant<QByteArray, EntryBody::Refusal> body = EntryBody::read(entry->body, 1 << 20);
    const QByteArray* bytes = std::get_if<QByteArray>(&body);
    return bytes ? bytes->size() : -1;
}

// The fixture was written by chromium visiting the pages of tools/make-cache-fixtures.py.
class ResolveInFixtureTest : public ::testing::Test
{
protected:
    const QString site_ = QStringLiteral("http://127.0.0.1:18431");
    SimpleCache cache_{QStringLiteral(WEBGLEANER_TEST_DATA "/caches/chromium-simple/Cache_Data")};
    ResourceResolver resolver_{cache_, site_ + "/sub/dir/page.html", "utf-8"};
};

TEST_F(ResolveInFixtureTest, FindsCachedResourcesOfAPage)
{
    struct Case
    {
        QByteArray line;
        QString url;
        Kind kind;
        QString contentType;
        qint64 cachedSize; // -1: not cached
    };
    // clang-format off
    const Case cases[] = {
        {R"(<script src="./local.js"></script>)", "/sub/dir/local.js",  Kind::Script,  "application/octet-stream", 59},
        {R"(<img src="./local.png">)",            "/sub/dir/local.png", Kind::Picture, "image/png",  277},
        {R"(<img src="../shared.gif">)",          "/sub/shared.gif",    Kind::Picture, "image/gif",  63},
        {R"(<img src="../../img/logo.gif">)",     "/img/logo.gif",      Kind::Picture, "image/gif",  487},
        {R"(<img src="/img/photo.jpg">)",         "/img/photo.jpg",     Kind::Picture, "image/JPEG", 41512},
        {R"(<img src="../dir/./../../img/icon.png">)", "/img/icon.png", Kind::Picture, "image/png",  1077},
        {R"(<img src="../../img/icon.png#top">)", "/img/icon.png",      Kind::Picture, "image/png",  1077},
        {R"(<img src="never-cached.gif">)",       "/sub/dir/never-cached.gif", Kind::Picture, "image/gif", -1},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line.toStdString());
        const std::optional<ResourceResolver::Resource> resource = resolver_.ResolveResource(c.line);
        ASSERT_TRUE(resource.has_value());
        EXPECT_EQ(resource->reference, ResourceResolver::ExtractSrcRef(c.line));
        EXPECT_EQ(resource->url, site_ + c.url);
        EXPECT_EQ(resource->kind, c.kind);
        EXPECT_EQ(resource->contentType, c.contentType);
        if (c.cachedSize < 0)
            EXPECT_FALSE(resource->entry.has_value());
        else
            EXPECT_EQ(bodySize(resource->entry), c.cachedSize);
    }
}

TEST_F(ResolveInFixtureTest, PassesOverWhatIsNoResource)
{
    // clang-format off
    const QByteArray lines[] = {
        R"(<p>Relative references: ../../, ../, ./ and a root-absolute one.</p>)",
        R"(<iframe src="page.html"></iframe>)",  // a cached page, not a resource
        R"(<img src=>)",
        R"(<img src="data:image/gif;base64,R0lGODlh">)",
        R"(<img Src="logo.gif">)",
    };
    // clang-format on
    for (const QByteArray& line : lines) {
        SCOPED_TRACE(line.toStdString());
        EXPECT_FALSE(resolver_.ResolveResource(line).has_value());
    }
}

TEST_F(ResolveInFixtureTest, StyleSheetsOfLinkTagsAreStyleSheets)
{
    const std::optional<ResourceResolver::Resource> sheet = resolver_.ResolveStyleSheet("../../css/style.css");
    ASSERT_TRUE(sheet.has_value());
    EXPECT_EQ(sheet->url, site_ + "/css/style.css");
    EXPECT_EQ(sheet->kind, Kind::StyleSheet);
    EXPECT_EQ(sheet->contentType, "text/css");
    EXPECT_EQ(bodySize(sheet->entry), 1902); // decoded from gzip
}

TEST(ResourceResolverTest, TakesThePictureTypeTheServerGaveWhenTheAddressSaysNothing)
{
    QTemporaryDir dir;
    MapCache cache(dir.path());
    cache.add("http://h/picture?id=5", "picture[1]", "\x89PNG", "image/png; charset=binary");
    cache.add("http://h/chart", "chart[1]", "<svg/>", "IMAGE/SVG+XML");
    cache.add("http://h/frame", "frame[1].htm", "<html>", "text/html");
    cache.add("http://h/odd", "odd[1]", "x", "image/x\r\nInjected: yes");
    cache.add("http://h/show.php?id=1&size=2", "show[1].php", "GIF89a", "image/gif");
    const ResourceResolver resolver(cache, "http://h/page.html", {});

    const std::optional<ResourceResolver::Resource> png = resolver.ResolveResource(R"(<img src="picture?id=5">)");
    ASSERT_TRUE(png.has_value());
    EXPECT_EQ(png->kind, Kind::Picture);
    EXPECT_EQ(png->contentType, "image/png");
    ASSERT_TRUE(png->entry.has_value());
    EXPECT_EQ(png->entry->localName, "picture[1]");
    const std::optional<ResourceResolver::Resource> svg = resolver.ResolveResource("<img src=/chart>");
    ASSERT_TRUE(svg.has_value());
    EXPECT_EQ(svg->contentType, "image/svg+xml");
    const std::optional<ResourceResolver::Resource> shown =
        resolver.ResolveResource(R"(<img src="show.php?id=1&amp;size=2">)");
    ASSERT_TRUE(shown.has_value());
    EXPECT_EQ(shown->url, "http://h/show.php?id=1&size=2");
    EXPECT_EQ(shown->contentType, "image/gif");
    ASSERT_TRUE(shown->entry.has_value());
    EXPECT_EQ(shown->entry->localName, "show[1].php");
    EXPECT_FALSE(resolver.ResolveResource("<iframe src=frame>").has_value());
    EXPECT_FALSE(resolver.ResolveResource("<img src=odd>").has_value());
    EXPECT_FALSE(resolver.ResolveResource("<img src=not-cached>").has_value());
}

TEST(ResourceResolverTest, DecodesReferencesThatAreNotUtf8FromThePageCharset)
{
    QTemporaryDir dir;
    MapCache cache(dir.path());
    const ResourceResolver resolver(cache, "http://h/", "gbk");
    // "图标.png" as a GBK page writes it; browsers request the path in UTF-8.
    const std::optional<ResourceResolver::Resource> icon =
        resolver.ResolveResource("<img src=\"\xCD\xBC\xB1\xEA.png\">");
    ASSERT_TRUE(icon.has_value());
    EXPECT_EQ(icon->url, "http://h/%E5%9B%BE%E6%A0%87.png");
}

} // namespace
