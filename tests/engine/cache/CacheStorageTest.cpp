#include "engine/cache/CacheDetector.h"
#include "engine/cache/CacheStorageMetadata.h"
#include "engine/cache/CacheStorageRoot.h"
#include "engine/cache/ChromiumTime.h"
#include "engine/cache/ProtobufReader.h"
#include "engine/cache/SimpleEntryFile.h"

#include "CacheCopy.h"
#include "CacheTestSupport.h"
#include "QtPrinters.h"

#include <QDir>
#include <QFileInfo>

#include <gtest/gtest.h>

namespace
{

using Refusal = CacheStorageMetadata::Refusal;

const QString kFixture = QStringLiteral(WEBGLEANER_TEST_DATA "/caches/chromium-cache-storage");
const QString kRoot = kFixture + QStringLiteral("/CacheStorage");
const QString kSite = QStringLiteral("http://127.0.0.1:18435/sw/");

QByteArray served(const QString& name)
{
    return fileBytes(kFixture + QStringLiteral("/bodies/") + name);
}

// Stream 0 of the fixture's entry for `url`: a CacheMetadata message as chromium wrote it.
QByteArray metadataOf(const QString& url)
{
    for (const QString& folder : CacheStorageRoot::cacheFolders(kRoot)) {
        for (const QString& name : QDir(folder).entryList({QStringLiteral("*_0")}, QDir::Files)) {
            const std::optional<SimpleEntryFile> file = SimpleEntryFile::read(folder + QLatin1Char('/') + name);
            if (file && file->key() == url.toUtf8())
                return file->responseInfo().toByteArray();
        }
    }
    ADD_FAILURE() << "no entry for " << url.toStdString();
    return {};
}

QByteArray varint(quint64 value)
{
    QByteArray bytes;
    do {
        bytes += char((value & 0x7f) | (value > 0x7f ? 0x80 : 0));
        value >>= 7;
    } while (value);
    return bytes;
}

QByteArray lengthDelimited(quint32 number, const QByteArray& bytes)
{
    return varint(quint64(number) << 3 | 2) + varint(quint64(bytes.size())) + bytes;
}

QByteArray varintField(quint32 number, quint64 value)
{
    return varint(quint64(number) << 3) + varint(value);
}

QByteArray response(const QByteArray& fields)
{
    return lengthDelimited(1, lengthDelimited(1, "GET")) + lengthDelimited(2, fields);
}

TEST(CacheStorageTest, TheRealCachesAreListedWithTheirBodiesAsThePageSawThem)
{
    EXPECT_EQ(CacheStorageRoot::cacheFolders(kRoot).size(), 2);
    const CacheLocation location = CacheDetector::recognise(kRoot);
    ASSERT_EQ(location.kind, CacheLocation::Kind::ChromiumCacheStorage);
    const std::unique_ptr<UrlCache> cache = CacheDetector::open(location);
    ASSERT_TRUE(cache);

    struct Expected
    {
        const char* url;
        const char* served;
        const char* contentType;
    };
    // The 404 put by script is left out; the sheet, sent gzip-encoded, was stored decoded; the opaque
    // response of the other site is whole on disk, however the page was kept from reading it.
    const Expected expected[] = {
        {"http://127.0.0.1:18435/sw/data.json", "data.json", "application/json"},
        {"http://localhost:18435/sw/other.gif", "other.gif", "image/gif"},
        {"http://127.0.0.1:18435/sw/index.html", "index.html", "text/html; charset=utf-8"},
        {"http://127.0.0.1:18435/sw/style.css", "style.css", "text/css"},
        {"http://127.0.0.1:18435/sw/picture.png", "picture.png", "image/png"},
    };
    std::vector<CacheEntry> entries = walk(*cache);
    ASSERT_EQ(entries.size(), std::size(expected)) << urlsOf(entries).join(' ').toStdString();
    for (const Expected& want : expected) {
        SCOPED_TRACE(want.url);
        const auto entry = std::find_if(entries.begin(), entries.end(),
                                        [&](const CacheEntry& e) { return e.url == QLatin1String(want.url); });
        ASSERT_NE(entry, entries.end());
        EXPECT_EQ(entry->contentType, QLatin1String(want.contentType));
        EXPECT_EQ(bodyOf(*entry), served(QLatin1String(want.served)));
        EXPECT_EQ(entry->size, served(QLatin1String(want.served)).size());
        EXPECT_TRUE(entry->lastAccess.isValid());
        EXPECT_TRUE(cache->ownsFolder(entry->sourceFolder));
        // Found again by its URL, as a page archive looks its resources up.
        const std::optional<CacheEntry> looked = cache->lookup(entry->url);
        ASSERT_TRUE(looked);
        EXPECT_EQ(looked->entryKey, entry->entryKey);
        EXPECT_EQ(bodyOf(*looked), served(QLatin1String(want.served)));
    }
    EXPECT_FALSE(cache->lookup(kSite + QStringLiteral("missing.html")));
}

TEST(CacheStorageTest, EntriesAreDeletedOneByOneAndTheRestStays)
{
    const CacheCopy copy(kRoot, QStringLiteral("CacheStorage"));
    ASSERT_TRUE(copy.isComplete());
    const std::unique_ptr<UrlCache> cache = CacheStorageRoot::open(copy.path());
    const QString page = kSite + QStringLiteral("index.html");
    removeUrl(*cache, page);
    removeUrl(*cache, kSite + QStringLiteral("missing.html")); // not offered, but cleared all the same

    const std::unique_ptr<UrlCache> reopened = CacheStorageRoot::open(copy.path());
    EXPECT_FALSE(reopened->lookup(page));
    QStringList every;
    const std::unique_ptr<CacheEnumeration> all = reopened->enumerateAll();
    while (const std::optional<CacheEntry> entry = all->next())
        every << entry->url;
    every.sort();
    EXPECT_EQ(every, (QStringList{"http://127.0.0.1:18435/sw/data.json", "http://127.0.0.1:18435/sw/picture.png",
                                  "http://127.0.0.1:18435/sw/style.css", "http://localhost:18435/sw/other.gif"}));
}

TEST(CacheStorageTest, OneSitesCachesAreClearedAndNoOthers)
{
    const CacheCopy copy(kRoot, QStringLiteral("CacheStorage"));
    ASSERT_TRUE(copy.isComplete());
    // A second site: a copy of the first's caches under another origin hash, its index naming another
    // origin of the same length, so that the message's lengths still hold.
    const QString first = QDir(copy.path()).entryList(QDir::Dirs | QDir::NoDotAndDotDot).first();
    const CacheCopy other(copy.file(first), QStringLiteral("0000other"));
    QByteArray index = fileBytes(other.file(QStringLiteral("index.txt")));
    index.replace("http://127.0.0.1:18435/", "https://pwa.example.org");
    ASSERT_TRUE(writeFileBytes(other.file(QStringLiteral("index.txt")), index));
    ASSERT_TRUE(QDir().rename(other.path(), copy.file(QStringLiteral("0000other"))));
    // A third whose index names it by a partitioned storage key alone.
    const CacheCopy third(copy.file(first), QStringLiteral("1111third"));
    ASSERT_TRUE(writeFileBytes(third.file(QStringLiteral("index.txt")),
                               lengthDelimited(3, "https://third.example/^0https://top.example")));
    ASSERT_TRUE(QDir().rename(third.path(), copy.file(QStringLiteral("1111third"))));

    QList<CacheStorageRoot::Site> sites = CacheStorageRoot::sites(copy.path());
    ASSERT_EQ(sites.size(), 3);
    EXPECT_EQ(sites[0].name, "http://127.0.0.1:18435/");
    EXPECT_EQ(sites[1].name, "https://pwa.example.org");
    EXPECT_EQ(sites[2].name, "https://third.example/");
    EXPECT_EQ(sites[1].cacheFolders.size(), 2);

    const std::unique_ptr<UrlCache> site = CacheStorageRoot::open(sites[1].cacheFolders);
    std::vector<CacheEntry> references;
    const std::unique_ptr<CacheEnumeration> all = site->enumerateAll();
    while (std::optional<CacheEntry> entry = all->next())
        references.push_back(std::move(*entry));
    EXPECT_EQ(references.size(), 6u);
    for (const CacheEntry& entry : references)
        EXPECT_EQ(site->removeEntry(entry), UrlCache::RemoveOutcome::Removed) << entry.url.toStdString();

    const std::unique_ptr<UrlCache> whole = CacheStorageRoot::open(copy.path());
    EXPECT_EQ(walk(*whole).size(), 10u) << "the other sites' entries stay";
    EXPECT_TRUE(walk(*CacheStorageRoot::open(sites[1].cacheFolders)).empty());
}

TEST(CacheStorageTest, MetadataSaysWhyAnEntryIsRefused)
{
    const QByteArray real = metadataOf(kSite + QStringLiteral("index.html"));
    const CacheStorageMetadata parsed = CacheStorageMetadata::parse(real);
    ASSERT_EQ(parsed.refusal, Refusal::None);
    EXPECT_EQ(parsed.statusCode, 200);
    EXPECT_EQ(parsed.statusText, "OK");
    EXPECT_EQ(parsed.responseUrl, kSite.toUtf8() + "index.html");
    EXPECT_TRUE(ChromiumTime::toUtc(parsed.responseTime).isValid());
    EXPECT_TRUE(parsed.rawHead().contains("Content-Type: text/html; charset=utf-8"));
    EXPECT_EQ(CacheStorageMetadata::parse(metadataOf(kSite + QStringLiteral("style.css"))).rawHead().indexOf("gzip"),
              -1)
        << "the body is stored decoded";

    QByteArray manyHeaders;
    for (int i = 0; i <= CacheStorageMetadata::kMaxHeaders; ++i)
        manyHeaders += lengthDelimited(4, lengthDelimited(1, "X-A") + lengthDelimited(2, "b"));
    QByteArray elevenByteVarint = real;
    elevenByteVarint.prepend(QByteArray(10, char(0x88)) + char(0x01));
    struct Case
    {
        const char* name;
        QByteArray stream0;
        Refusal refusal;
    };
    const Case cases[] = {
        {"cut short", real.left(real.size() - 3), Refusal::Malformed},
        {"length past the end", real.left(2) + QByteArray::fromHex("ffffffff0f"), Refusal::Malformed},
        {"varint of eleven bytes", elevenByteVarint, Refusal::Malformed},
        {"group wire type", QByteArray::fromHex("0b0c") + real, Refusal::Malformed},
        {"field number zero", QByteArray::fromHex("0000") + real, Refusal::Malformed},
        {"header cut short", response(varintField(1, 200) + lengthDelimited(4, QByteArray::fromHex("0a05"))),
         Refusal::Malformed},
        {"empty", QByteArray(), Refusal::NoResponse},
        {"request only", lengthDelimited(1, lengthDelimited(1, "GET")), Refusal::NoResponse},
        {"response without status", response(lengthDelimited(2, "OK")), Refusal::NoResponse},
        {"404 put by script", metadataOf(kSite + QStringLiteral("missing.html")), Refusal::NotSuccess},
        {"206", response(varintField(1, 206)), Refusal::NotSuccess},
        {"negative status", response(varintField(1, quint64(-200))), Refusal::NotSuccess},
        {"network error", response(varintField(1, 200) + varintField(3, 3)), Refusal::ErrorType},
        {"opaque redirect", response(varintField(1, 200) + varintField(3, 5)), Refusal::ErrorType},
        {"too many headers", response(varintField(1, 200) + manyHeaders), Refusal::TooManyHeaders},
        {"smallest usable", response(varintField(1, 204)), Refusal::None},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CacheStorageMetadata::parse(c.stream0).refusal, c.refusal) << c.name;
}

TEST(CacheStorageTest, HeaderFieldsThatWouldForgeLinesAreDropped)
{
    const QByteArray stream0 = response(
        varintField(1, 200) +
        lengthDelimited(4, lengthDelimited(1, "X-Evil") + lengthDelimited(2, QByteArray("a\0b", 3))) +
        lengthDelimited(4, lengthDelimited(1, "Content-Type") + lengthDelimited(2, "text/plain\r\nX-Forged: 1")) +
        lengthDelimited(4, lengthDelimited(1, "Content-Type") + lengthDelimited(2, "image/png")));
    const CacheStorageMetadata parsed = CacheStorageMetadata::parse(stream0);
    ASSERT_EQ(parsed.refusal, Refusal::None);
    EXPECT_EQ(parsed.headerCount, 1);
    EXPECT_EQ(parsed.rawHead(), QByteArray("HTTP/1.1 200\0Content-Type: image/png\0\0", 38));
}

TEST(CacheStorageTest, TheWireReaderStopsAtTheFirstBadByte)
{
    const QByteArray message = varintField(1, 150) + QByteArray::fromHex("12ff");
    ProtobufReader reader(message);
    const std::optional<ProtobufReader::Field> first = reader.next();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->number, 1u);
    EXPECT_EQ(first->value, 150u);
    EXPECT_FALSE(reader.next());
    EXPECT_TRUE(reader.malformed());
    EXPECT_FALSE(reader.next());
}

} // namespace
