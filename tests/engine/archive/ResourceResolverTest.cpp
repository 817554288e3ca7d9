#include "engine/archive/ResourceResolver.h"

#include "QtPrinters.h"

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

TEST(ResourceResolverTest, SrcReferencesTakeTheTextAfterEverySrcLineByLine)
{
    struct Case
    {
        const char* name;
        QByteArray page;
        QByteArrayList references;
    };
    // clang-format off
    const Case cases[] = {
        {"lower case first, then upper case", "<img SRC=A.gif><img src=b.gif><img SRC=C.gif><img src=d.gif>",
         {"b.gif", "d.gif", "A.gif", "C.gif"}},
        {"line by line", "<img SRC=A.gif>\n<img src=b.gif>", {"A.gif", "b.gif"}},
        {"any line break ends a line and a text", "src=a\rSRC=b\r\nsrc=c\n\nsrc=", {"a", "b", "c"}},
        {"a text runs on over the next src=", "x.src=a.gif?src=b.gif", {"a.gif?src=b.gif", "b.gif"}},
        {"src= without text", "src= \"\"\nsrc=\"", {}},
        {"single quotes kept", "<img src='a.gif' alt='x'>", {"'a.gif'"}},
        {"mixed case not recognised", "<img Src=a.gif sRC=b.gif>", {}},
        {"the first character always taken", "src=>x src=\" >", {">x", ">"}},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        bool capped = false;
        EXPECT_EQ(ResourceResolver::srcReferences(c.page, &capped), c.references);
        EXPECT_FALSE(capped);
    }
}

TEST(ResourceResolverTest, SrcReferencesBeginWithWhatExtractSrcRefTakes)
{
    for (const QByteArray line : {R"(<img src="logo.gif">)", "<img src=a.gif\tb>", R"(<img src= " "x.gif">)",
                                  R"(<img SRC="up.gif"><img src="low.gif">)", R"(<img data-src="lazy.jpg">)"}) {
        SCOPED_TRACE(line.toStdString());
        EXPECT_EQ(ResourceResolver::srcReferences(line).value(0), ResourceResolver::ExtractSrcRef(line));
    }
}

TEST(ResourceResolverTest, SrcReferencesStopAtTheirCaps)
{
    bool capped = false;
    const QByteArrayList many = ResourceResolver::srcReferences(
        QByteArray("src=a ").repeated(ResourceResolver::kMaxSrcReferences + 1), &capped);
    EXPECT_EQ(many.size(), ResourceResolver::kMaxSrcReferences);
    EXPECT_TRUE(capped);
    capped = false;
    EXPECT_EQ(
        ResourceResolver::srcReferences(QByteArray("src=a\n").repeated(ResourceResolver::kMaxSrcReferences), &capped)
            .size(),
        ResourceResolver::kMaxSrcReferences);
    EXPECT_FALSE(capped);

    // A text too long is left out, and said to be unless it is a data: address; the texts after it are not.
    const QByteArray longest(ResourceResolver::kMaxSrcReferenceLength, 'a');
    EXPECT_EQ(ResourceResolver::srcReferences("src=" + longest, &capped), QByteArrayList{longest});
    EXPECT_FALSE(capped);
    EXPECT_EQ(ResourceResolver::srcReferences("src=data:" + longest + " src=b", &capped), QByteArrayList{"b"});
    EXPECT_FALSE(capped);
    EXPECT_EQ(ResourceResolver::srcReferences("src=a" + longest + " src=b", &capped), QByteArrayList{"b"});
    EXPECT_TRUE(capped);

    // Texts that overlap count in full: a line of src= would otherwise cost its length squared.
    capped = false;
    const QByteArrayList overlapping = ResourceResolver::srcReferences(QByteArray("src=").repeated(1000), &capped);
    EXPECT_EQ(overlapping.size(), 999);
    qsizetype total = 0;
    for (const QByteArray& text : overlapping)
        total += text.size();
    EXPECT_LE(total, ResourceResolver::kMaxSrcTotalLength);
    EXPECT_FALSE(capped);
    const QByteArrayList lines = ResourceResolver::srcReferences(
        (QByteArray("src=").repeated(ResourceResolver::kMaxSrcReferenceLength / 4 - 1) + "\n").repeated(100), &capped);
    EXPECT_TRUE(capped);
    total = 0;
    for (const QByteArray& text : lines)
        total += text.size();
    EXPECT_LE(total, ResourceResolver::kMaxSrcTotalLength);
    EXPECT_GT(total, ResourceResolver::kMaxSrcTotalLength - ResourceResolver::kMaxSrcReferenceLength);
}

TEST(ResourceResolverTest, DataAddressesAreKnownInAnyLetterCase)
{
    EXPECT_TRUE(ResourceResolver::isDataAddress(QByteArrayView("DATA:x")));
    EXPECT_TRUE(ResourceResolver::isDataAddress(u"data:"));
    EXPECT_FALSE(ResourceResolver::isDataAddress(QByteArrayView("dat")));
    EXPECT_FALSE(ResourceResolver::isDataAddress(u" data:x"));
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

} // namespace
