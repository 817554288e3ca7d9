// The pieces of the simple-cache reader that decode one field or one file, checked against values taken
// from files Debian's chromium wrote (tests/data/caches/chromium-simple).

#include "engine/cache/ChromiumCacheKey.h"
#include "engine/cache/ChromiumResponseInfo.h"
#include "engine/cache/ChromiumTime.h"
#include "engine/cache/HttpResponseHead.h"
#include "engine/cache/SimpleEntryFile.h"
#include "engine/cache/SimpleIndexFile.h"
#include "engine/cache/SuperFastHash.h"

#include <gtest/gtest.h>

namespace
{

QString fixtureFolder()
{
    return QStringLiteral(WEBGLEANER_TEST_DATA "/caches/chromium-simple/Cache_Data");
}

TEST(ChromiumCacheKeyTest, UrlIsWhatFollowsThePrefixes)
{
    struct Case
    {
        const char* key;
        std::optional<QString> url;
    };
    const Case cases[] = {
        {"1/0/_dk_http://127.0.0.1 http://127.0.0.1 http://127.0.0.1:18431/img/logo.gif",
         "http://127.0.0.1:18431/img/logo.gif"},
        {"1/0/_dk_s_http://localhost http://127.0.0.1 http://127.0.0.1:18431/sub/dir/page.html",
         "http://127.0.0.1:18431/sub/dir/page.html"},
        {"1/0/_dk_cn_http://127.0.0.1 http://127.0.0.1 http://127.0.0.1:18431/text/readme.txt?via=x",
         "http://127.0.0.1:18431/text/readme.txt?via=x"},
        {"1/0/_dk_csnb_ mfni_https://a.example https://a.example https://b.example/x.png", "https://b.example/x.png"},
        {"0/12/https://example.com/form", "https://example.com/form"},
        {"1/0/http://example.com/old-style.css", "http://example.com/old-style.css"},
        {"https://example.com/very-old.js", "https://example.com/very-old.js"},
        {"_key/http://127.0.0.1:18431/js/app.js \nhttp://127.0.0.1/", std::nullopt}, // code cache
        {"Range_1/0/http://example.com/a.wav:1f2e:0", std::nullopt},                 // range child
        {"1/0/_dk_http://127.0.0.1", std::nullopt},
        {"1/0/_dk_http://127.0.0.1 http://127.0.0.1 ftp://127.0.0.1/file", std::nullopt},
        {"1/0/chrome-extension://abc/icon.png", std::nullopt},
        {"1/x/http://example.com/", std::nullopt},
        {"/0/http://example.com/", std::nullopt},
        {"1/0", std::nullopt},
        {"", std::nullopt},
    };
    for (const Case& keyCase : cases)
        EXPECT_EQ(ChromiumCacheKey::urlOf(keyCase.key), keyCase.url) << keyCase.key;
}

TEST(SuperFastHashTest, MatchesChromiumsValues)
{
    struct Case
    {
        QByteArray input;
        quint32 hash;
    };
    const Case cases[] = {
        {"", 0x00000000},
        {"a", 0x115ea782},
        {"ab", 0x516b8b44},
        {"abc", 0xd2be198a},
        {"abcd", 0xdad8b8db},
        {"\xe4\xb8\xad", 0xb073298a},
        {"http://x/\xc3\xa9", 0x6182ca9b},
        {"1/0/_dk_http://127.0.0.1 http://127.0.0.1 http://127.0.0.1:18431/img/logo.gif", 0x9413cde9},
    };
    for (const Case& hashCase : cases)
        EXPECT_EQ(SuperFastHash::of(hashCase.input), hashCase.hash) << hashCase.input.toStdString();
}

TEST(ChromiumTimeTest, ConvertsPlausibleTimesOnly)
{
    EXPECT_EQ(ChromiumTime::toUtc(13'441'337'488'000'000LL),
              QDateTime::fromString("2026-12-10T00:51:28Z", Qt::ISODate).toUTC());
    EXPECT_EQ(ChromiumTime::toUtc(13'441'337'488'000'000LL).timeSpec(), Qt::UTC);
    for (const qint64 absurd : {qint64(0), qint64(-1), std::numeric_limits<qint64>::min(),
                                std::numeric_limits<qint64>::max(), qint64(11'644'473'600'000'000LL)})
        EXPECT_FALSE(ChromiumTime::toUtc(absurd).isValid()) << absurd;
}

TEST(SimpleIndexFileTest, ReadsLastUsedTimesOfTheFixture)
{
    const QHash<quint64, QDateTime> times = SimpleIndexFile::lastUsedTimes(fixtureFolder());
    EXPECT_EQ(times.size(), 30);
    EXPECT_EQ(times.value(0xd861c6f1cfbb74fcull), QDateTime::fromString("2026-12-10T00:51:28Z", Qt::ISODate));
    EXPECT_EQ(times.value(0x0ed4f83b205225baull), QDateTime::fromString("2026-12-10T00:51:29Z", Qt::ISODate));
    EXPECT_TRUE(SimpleIndexFile::lastUsedTimes(fixtureFolder() + "/no-such-folder").isEmpty());
}

TEST(SimpleEntryFileTest, FindsTheStreamsOfARealEntry)
{
    // logo.gif, 972 bytes: a 77-byte key, the 487-byte body at 101 and a 304-byte stream 0.
    const std::optional<SimpleEntryFile> entry = SimpleEntryFile::read(fixtureFolder() + "/d861c6f1cfbb74fc_0");
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->key(), "1/0/_dk_http://127.0.0.1 http://127.0.0.1 http://127.0.0.1:18431/img/logo.gif");
    EXPECT_EQ(entry->bodyOffset(), 101);
    EXPECT_EQ(entry->bodyLength(), 487);
    EXPECT_EQ(entry->bodyHead().size(), 487) << "a small file's body is kept whole";
    EXPECT_TRUE(entry->bodyHead().startsWith("GIF89a"));
    EXPECT_EQ(entry->responseInfo().size(), 304);
    EXPECT_EQ(SimpleEntryFile::entryHashOf(entry->key()), 0xd861c6f1cfbb74fcull);

    const std::optional<ChromiumResponseInfo> info = ChromiumResponseInfo::parse(entry->responseInfo());
    ASSERT_TRUE(info);
    EXPECT_FALSE(info->truncated);
    const std::optional<HttpResponseHead> head = HttpResponseHead::parse(info->rawHead);
    ASSERT_TRUE(head);
    EXPECT_EQ(head->statusCode(), 200);
    EXPECT_EQ(head->contentType(), "image/gif");
}

TEST(SimpleEntryFileTest, ReadsOnlyTheEndsOfALargeEntry)
{
    const std::optional<SimpleEntryFile> entry = SimpleEntryFile::read(fixtureFolder() + "/64803589626798ed_0");
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->bodyLength(), 1064402);
    EXPECT_EQ(entry->bodyHead().size(), 64);
    EXPECT_EQ(entry->bodyTail().size(), 64);
    EXPECT_TRUE(entry->bodyHead().startsWith("\xff\xd8\xff"));
    EXPECT_TRUE(entry->bodyTail().endsWith("\xff\xd9"));
}

TEST(ChromiumResponseInfoTest, RefusesPicklesThatDoNotHoldTheirFields)
{
    const std::optional<SimpleEntryFile> entry = SimpleEntryFile::read(fixtureFolder() + "/d861c6f1cfbb74fc_0");
    ASSERT_TRUE(entry);
    const QByteArray stream0 = entry->responseInfo().toByteArray();
    for (qsizetype length = 0; length < stream0.size(); length += 7)
        EXPECT_FALSE(ChromiumResponseInfo::parse(stream0.left(length))) << length;
    EXPECT_TRUE(ChromiumResponseInfo::parse(stream0));
}

} // namespace
