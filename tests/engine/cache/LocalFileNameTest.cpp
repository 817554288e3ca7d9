#include "engine/cache/LocalFileName.h"

#include <QList>
#include <gtest/gtest.h>

namespace
{

struct NameCase
{
    const char* name;
    QString url;
    QString contentType;
    QString stem;
    QString extension;
};

std::ostream& operator<<(std::ostream& out, const NameCase& c)
{
    return out << c.name;
}

// What every name must be, whatever the URL: one safe file name within the byte limit.
void expectSafe(const QString& fileName)
{
    EXPECT_LE(fileName.toUtf8().size(), LocalFileName::kMaxBytes) << fileName.toStdString();
    EXPECT_FALSE(fileName.startsWith(u'.')) << fileName.toStdString();
    for (const char32_t c : fileName.toUcs4()) {
        EXPECT_TRUE(c != u'/' && c != u'\\' && c >= 0x20 && c != 0x7f && (c < 0xd800 || c > 0xdfff))
            << fileName.toStdString();
    }
}

class ForUrl : public testing::TestWithParam<NameCase>
{};

TEST_P(ForUrl, NamesTheFileAsTheOldCacheDid)
{
    const NameCase& c = GetParam();
    const LocalFileName name = LocalFileName::forUrl(c.url, c.contentType);
    EXPECT_EQ(name.stem, c.stem);
    EXPECT_EQ(name.extension, c.extension);
    expectSafe(name.withCounter(1));
    expectSafe(name.withCounter(999));
}

INSTANTIATE_TEST_SUITE_P(
    LocalFileName, ForUrl,
    testing::Values(
        NameCase{"LastSegment", "http://host/img/logo.gif", "image/gif", "logo", "gif"},
        NameCase{"QueryAndFragmentDropped", "http://host/img/logo.gif?v=2&x=a/b.png#top", "", "logo", "gif"},
        NameCase{"FragmentBeforeAnyQuery", "http://host/a.css#x?y", "", "a", "css"},
        NameCase{"PathExtensionWinsOverType", "http://host/view.php?id=3", "text/html", "view", "php"},
        NameCase{"LastOfSeveralDots", "http://host/jquery.min.js", "", "jquery.min", "js"},
        NameCase{"RootIsIndex", "http://host/", "text/html; charset=utf-8", "index", "htm"},
        NameCase{"NoPathIsIndex", "https://host:8443", "text/html", "index", "htm"},
        NameCase{"NoPathButQueryIsIndex", "http://host?page=a/b.gif", "", "index", ""},
        NameCase{"FolderIsIndex", "http://host/docs/", "", "index", ""},
        NameCase{"UnknownTypeGivesNoExtension", "http://host/download", "application/octet-stream", "download", ""},
        NameCase{"TypeInAnyCaseWithParameters", "http://host/page", " TEXT/HTML ; Charset=UTF-8", "page", "htm"},
        NameCase{"Jpeg", "http://host/photo", "image/jpeg", "photo", "jpg"},
        NameCase{"Png", "http://host/photo", "image/png", "photo", "png"},
        NameCase{"Gif", "http://host/photo", "image/gif", "photo", "gif"},
        NameCase{"Css", "http://host/style", "text/css", "style", "css"},
        NameCase{"JavaScript", "http://host/app", "application/javascript", "app", "js"},
        NameCase{"TextJavaScript", "http://host/app", "text/javascript", "app", "js"},
        NameCase{"XJavaScript", "http://host/app", "application/x-javascript", "app", "js"},
        NameCase{"Svg", "http://host/icon", "image/svg+xml", "icon", "svg"},
        NameCase{"Webp", "http://host/photo", "image/webp", "photo", "webp"},
        NameCase{"Flash", "http://host/movie", "application/x-shockwave-flash", "movie", "swf"},
        NameCase{"PercentDecodedUtf8", "http://host/%E4%B8%AD%E6%96%87%20page.html", "", QStringLiteral(u"中文 page"),
                 "html"},
        NameCase{"UnicodeInTheUrl", QStringLiteral(u"http://host/图片.png"), "", QStringLiteral(u"图片"), "png"},
        // GBK bytes are not UTF-8: each byte stays, as the Latin-1 character of that value.
        NameCase{"PercentDecodedNonUtf8", "http://host/%C4%E3%BA%C3.htm", "",
                 QStringLiteral(u"\u00c4\u00e3\u00ba\u00c3"), "htm"},
        NameCase{"EncodedSlashAndBackslash", "http://host/a%2Fb%5Cc.gif", "", "a_b_c", "gif"},
        NameCase{"EncodedNulAndControls", "http://host/a%00b%0A%7F%C2%85c.gif", "", "a_b___c", "gif"},
        NameCase{"LeadingDotDropped", "http://host/.htaccess", "", "htaccess", ""},
        NameCase{"DotSegmentsAreIndex", "http://host/a/%2E%2E", "text/css", "index", "css"},
        NameCase{"TrailingDotMeansNoExtension", "http://host/file.", "image/png", "file", "png"},
        NameCase{"AbsurdExtensionKeptInTheStem", "http://host/release-1.0-candidate-build-of-tuesday", "",
                 "release-1.0-candidate-build-of-tuesday", ""},
        NameCase{"DataUrl", "data:image/png;base64,iVBORw0KGgo", "image/png", "png;base64,iVBORw0KGgo", "png"},
        NameCase{"AboutUrl", "about:blank", "text/html", "blank", "htm"}),
    [](const testing::TestParamInfo<NameCase>& testInfo) { return testInfo.param.name; });

TEST(LocalFileName, LongStemIsCutOnACharacterBoundaryKeepingTheExtension)
{
    for (const QString& character :
         {QStringLiteral("a"), QStringLiteral(u"é"), QStringLiteral(u"中"), QStringLiteral(u"\U0001F600")}) {
        const LocalFileName name =
            LocalFileName::forUrl(QStringLiteral("http://host/") + character.repeated(300) + ".jpeg", QString());
        EXPECT_EQ(name.extension, QStringLiteral("jpeg"));
        EXPECT_TRUE(name.stem.startsWith(character));
        // Cut between characters: the stem is whole characters, and as many as fit beside "[999].jpeg".
        EXPECT_EQ(name.stem, character.repeated(name.stem.size() / character.size()));
        const qsizetype characterBytes = character.toUtf8().size();
        EXPECT_GT(name.withCounter(999).toUtf8().size() + characterBytes, LocalFileName::kMaxBytes);
        expectSafe(name.withCounter(999));
    }
}

TEST(LocalFileName, WithCounter)
{
    EXPECT_EQ((LocalFileName{"logo", "gif"}.withCounter(1)), QStringLiteral("logo[1].gif"));
    EXPECT_EQ((LocalFileName{"index", ""}.withCounter(12)), QStringLiteral("index[12]"));
    // A counter too long for the room left makes the stem shorter, never the name longer.
    const LocalFileName longName = LocalFileName::forUrl("http://host/" + QString(200, u'x') + ".gif", QString());
    const QString numbered = longName.withCounter(1234567);
    EXPECT_TRUE(numbered.endsWith(QStringLiteral("x[1234567].gif")));
    EXPECT_EQ(numbered.toUtf8().size(), LocalFileName::kMaxBytes);
}

} // namespace
