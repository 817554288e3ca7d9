// The blockfile-cache reader against a cache written by Debian's chromium with the blockfile backend forced
// (tests/data/caches/chromium-blockfile; listing.txt beside it says what the cache holds).

#include "engine/cache/BlockfileCache.h"
#include "CacheCopy.h"
#include "CacheTestSupport.h"
#include "engine/cache/SuperFastHash.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtEndian>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <thread>
#include <vector>

namespace
{

const QString site = QStringLiteral("http://127.0.0.1:18431");

QString fixtureFolder()
{
    return QStringLiteral(WEBGLEANER_TEST_DATA "/caches/chromium-blockfile/Cache_Data");
}

// Every entry record and rankings node of the fixture lies in data_1 and data_0, in blocks after the
// 8192-byte header of the block file.
constexpr qint64 blockFileHeader = 8192;
constexpr qint64 tableOffset = 368;

qint64 recordOffset(quint32 address)
{
    return blockFileHeader + qint64(address & 0xffff) * 256;
}

qint64 rankingsOffset(quint32 rankingsAddress)
{
    return blockFileHeader + qint64(rankingsAddress & 0xffff) * 36;
}

// Records and nodes carry a checksum of their fields; edits put it right unless a case is about it.
void resealRecord(QByteArray& data1, quint32 address)
{
    const qint64 at = recordOffset(address);
    patchU32(data1, at + 92, SuperFastHash::of(QByteArrayView(data1).sliced(at, 92)));
}

void resealRankingsNode(QByteArray& data0, quint32 rankingsAddress)
{
    const qint64 at = rankingsOffset(rankingsAddress);
    patchU32(data0, at + 32, SuperFastHash::of(QByteArrayView(data0).sliced(at, 32)));
}

void editRecord(const CacheCopy& copy, quint32 address, const std::function<void(QByteArray& data1, qint64 at)>& change)
{
    copy.edit("data_1", [&](QByteArray& data1) {
        change(data1, recordOffset(address));
        resealRecord(data1, address);
    });
}

quint32 bucketOf(quint32 address)
{
    return u32At(fileBytes(fixtureFolder() + "/data_1"), recordOffset(address)) & 0xffff;
}

void setBucketHead(const CacheCopy& copy, quint32 bucket, quint32 head)
{
    copy.edit("index", [&](QByteArray& index) { patchU32(index, tableOffset + 4 * qint64(bucket), head); });
}

// The fixture's usable entries in the order of the index's hash table, with their entry record's address,
// what a reader must report, and how the decoded body starts.
struct FixtureEntry
{
    quint32 address;
    QString url;
    QDateTime lastUsed;
    qint64 size;
    QString contentType;
    QByteArray start;
};

const QByteArray png("\x89PNG\r\n\x1a\n", 8);
const QByteArray jpeg("\xff\xd8\xff\xe0", 4);
const QString html = QStringLiteral("text/html; charset=utf-8");
const QString text = QStringLiteral("text/plain; charset=utf-8");
const QString javascript = QStringLiteral("application/javascript");

// Named for the cases that damage them.
constexpr quint32 logoGif = 0xa001000c; // sub-resource of a http://127.0.0.1 page; body in two blocks
constexpr quint32 logoGifLocalhost = 0xa001006b;
constexpr quint32 styleCss = 0xa0010003;      // gzip
constexpr quint32 photoBigJpg = 0xa0010022;   // body in f_000002
constexpr quint32 longerKeyIcon = 0xa0010042; // 1285-byte key in data_2
constexpr quint32 longKeyIcon = 0xa1010040;   // 383-byte key inline in a two-block record
constexpr quint32 toneWav = 0xa001002a;       // range-fetched: 206, bytes in child entry 0xa001002b
constexpr quint32 toneWavChild = 0xa001002b;
constexpr quint32 iconPng = 0xa0010013;
constexpr quint32 iconPngV2 = 0xa001001f;

const std::vector<FixtureEntry>& fixtureEntries()
{
    static const std::vector<FixtureEntry> entries = {
        {0xa001004d, site + "/sub/shared.gif", utc("2026-12-10T00:51:43.951Z"), 63, "image/gif", "GIF89a"},
        {0xa001000d, site + "/img/photo.jpg", utc("2026-12-10T00:51:49.217Z"), 41512, "image/jpeg", jpeg},  // f_000001
        {0xa0010060, site + "/text/notes.txt", utc("2026-12-10T00:51:44.253Z"), 659, text, "\xe7\xac\xac"}, // deflate
        {longerKeyIcon, site + "/img/icon.png?longer=" + QString(1200, 'b'), utc("2026-12-10T00:51:43.828Z"), 1077,
         "image/png", png},
        {logoGifLocalhost, site + "/img/logo.gif", utc("2026-12-10T00:51:44.409Z"), 487, "image/gif", "GIF89a"},
        {0xa0010043, site + "/sub/dir/page.html", utc("2026-12-10T00:51:43.943Z"), 441, html, "<!DOCTYPE"}, // br
        {0xa0010068, "http://localhost:18431/cross.html", utc("2026-12-10T00:51:44.377Z"), 391, html, "<!DOCTYPE"},
        {styleCss, site + "/css/style.css", utc("2026-12-10T00:51:49.216Z"), 1902, "text/css", "/* main styl"},
        {0xa001006e, site + "/js/plain.js", utc("2026-12-10T00:51:44.417Z"), 62, javascript, "// plain scr"},
        {0xa001004c, site + "/sub/dir/local.png", utc("2026-12-10T00:51:43.951Z"), 277, "image/png", png},
        {0xa0010007, site + "/js/plain.js", utc("2026-12-10T00:51:44.059Z"), 62, javascript, "// plain scr"},
        {longKeyIcon, site + "/img/icon.png?long=" + QString(300, 'a'), utc("2026-12-10T00:51:43.867Z"), 1077,
         "image/png", png},
        {0xa0010037, site + "/gbk.html", utc("2026-12-10T00:51:49.203Z"), 268, "text/html; charset=GBK", "<!DOCTYPE"},
        {0xa001004b, site + "/sub/dir/local.js", utc("2026-12-10T00:51:43.995Z"), 59, javascript, "// script re"},
        {0xa001007d, site + "/text/readme.txt?via=cross-site-link", utc("2026-12-10T00:51:44.596Z"), 46, text,
         "Plain text f"},
        {iconPng, site + "/img/icon.png", utc("2026-12-10T00:51:49.240Z"), 1077, "image/png", png},
        {0xa001003c, site + "/upper.html", utc("2026-12-10T00:51:43.802Z"), 1770, html, "<HTML>"}, // gzip
        {toneWav, site + "/media/tone.wav", utc("2026-12-10T00:51:44.083Z"), 220544, "audio/wav", "RIFF"},
        {0xa0010002, site + "/index.html", utc("2026-12-10T00:51:44.038Z"), 811, html, "<!DOCTYPE"},
        {iconPngV2, site + "/img/icon.png?v=2", utc("2026-12-10T00:51:44.059Z"), 1077, "image/png", png},
        {0xa0010023, site + "/css/print.css", utc("2026-12-10T00:51:44.063Z"), 1015, "text/css", "/* print style"},
        {logoGif, site + "/img/logo.gif", utc("2026-12-10T00:51:44.059Z"), 487, "image/gif", "GIF89a"},
        {0xa0010006, site + "/js/app.js", utc("2026-12-10T00:51:44.059Z"), 2091, javascript, "// application"}, // br
        {0xa0010064, site + "/data/info.json", utc("2026-12-10T00:51:44.316Z"), 152, "application/json",
         "{\"name\": \"sa"},
        {photoBigJpg, site + "/big/photo-big.jpg", utc("2026-12-10T00:51:44.059Z"), 1064402, "image/jpeg", jpeg},
        {0xa001005c, site + "/text/readme.txt", utc("2026-12-10T00:51:44.184Z"), 46, text, "Plain text f"},
        {0xa0010076, site + "/sub/dir/page.html", utc("2026-12-10T00:51:44.485Z"), 441, html, "<!DOCTYPE"},
    };
    return entries;
}

// What a walk reports, as comparable text: URL and last use, in walk order.
QStringList described(const std::vector<CacheEntry>& entries)
{
    QStringList lines;
    for (const CacheEntry& entry : entries)
        lines << entry.url.left(60) + " @ " + entry.lastAccess.toString(Qt::ISODateWithMs);
    return lines;
}

QStringList described(const std::vector<FixtureEntry>& entries)
{
    QStringList lines;
    for (const FixtureEntry& entry : entries)
        lines << entry.url.left(60) + " @ " + entry.lastUsed.toString(Qt::ISODateWithMs);
    return lines;
}

std::vector<FixtureEntry> allBut(const QList<quint32>& gone)
{
    std::vector<FixtureEntry> kept;
    for (const FixtureEntry& entry : fixtureEntries()) {
        if (!gone.contains(entry.address))
            kept.push_back(entry);
    }
    return kept;
}

// The entries at `addresses`, in that order.
std::vector<FixtureEntry> only(const QList<quint32>& addresses)
{
    std::vector<FixtureEntry> kept;
    for (const quint32 address : addresses) {
        for (const FixtureEntry& entry : fixtureEntries()) {
            if (entry.address == address)
                kept.push_back(entry);
        }
    }
    return kept;
}

// The entry a lookup of `url` must give: of the URL's entries in `entries`, the most recently used.
std::optional<FixtureEntry> mostRecent(const std::vector<FixtureEntry>& entries, const QString& url)
{
    std::optional<FixtureEntry> found;
    for (const FixtureEntry& entry : entries) {
        if (entry.url == url && (!found || entry.lastUsed > found->lastUsed))
            found = entry;
    }
    return found;
}

TEST(BlockfileCacheTest, WalkFollowsTheHashTableAndOffersExactlyTheUsableEntries)
{
    BlockfileCache cache(fixtureFolder());

    // Left out: the range child of tone.wav (its parent stands for it), the two 404 favicons and the
    // 301 old.html.
    const std::vector<CacheEntry> entries = walk(cache);
    EXPECT_EQ(described(entries), described(fixtureEntries()));
    for (const CacheEntry& entry : entries) {
        EXPECT_EQ(entry.sourceFolder, QDir(fixtureFolder()).absolutePath());
        EXPECT_EQ(entry.lastAccess.timeSpec(), Qt::UTC);
        EXPECT_EQ(BlockfileCacheFolder::addressOf(entry.entryKey).has_value(), true) << entry.entryKey.toStdString();
    }
}

TEST(BlockfileCacheTest, WalkedEntriesGiveDecodedSizeTypeAndBody)
{
    BlockfileCache cache(fixtureFolder());
    const std::vector<CacheEntry> entries = walk(cache);
    ASSERT_EQ(entries.size(), fixtureEntries().size());
    for (size_t i = 0; i < entries.size(); ++i) {
        SCOPED_TRACE(entries[i].url.left(80).toStdString());
        EXPECT_EQ(entries[i].contentType, fixtureEntries()[i].contentType);
        expectBody(entries[i], fixtureEntries()[i].size, fixtureEntries()[i].start);
    }
}

TEST(BlockfileCacheTest, BodiesComeFromBlocksAndExternalFilesAsStored)
{
    BlockfileCache cache(fixtureFolder());
    const QByteArray data1 = fileBytes(fixtureFolder() + "/data_1");
    struct Case
    {
        QString url;
        QString file;
        QByteArray stored;
    };
    const Case cases[] = {
        // Stream 1 at 0xa1010016: two 256-byte blocks from block 0x16 of data_1.
        {site + "/img/logo.gif", "data_1", data1.mid(blockFileHeader + 0x16 * 256, 487)},
        {site + "/big/photo-big.jpg", "f_000002", fileBytes(fixtureFolder() + "/f_000002")},
        // Range-fetched: the whole resource in the stream 1 of child 0.
        {site + "/media/tone.wav", "f_000003", fileBytes(fixtureFolder() + "/f_000003")},
    };
    for (const Case& bodyCase : cases) {
        SCOPED_TRACE(bodyCase.url.toStdString());
        const std::optional<CacheEntry> entry = cache.lookup(bodyCase.url);
        ASSERT_TRUE(entry);
        EXPECT_EQ(QFileInfo(entry->body.file).fileName(), bodyCase.file);
        EXPECT_TRUE(entry->body.contentEncoding.isEmpty());
        EXPECT_EQ(bodyOf(*entry), bodyCase.stored);
    }
}

TEST(BlockfileCacheTest, LookupGivesTheMostRecentlyUsedPartition)
{
    BlockfileCache cache(fixtureFolder());

    QStringList urls;
    for (const FixtureEntry& entry : fixtureEntries()) {
        if (!urls.contains(entry.url))
            urls << entry.url;
    }
    EXPECT_EQ(urls.size(), 24);
    for (const QString& url : urls) {
        SCOPED_TRACE(url.left(80).toStdString());
        const FixtureEntry expected = *mostRecent(fixtureEntries(), url);
        const std::optional<CacheEntry> entry = cache.lookup(url);
        ASSERT_TRUE(entry);
        EXPECT_EQ(entry->url, url);
        EXPECT_EQ(entry->lastAccess, expected.lastUsed);
        EXPECT_EQ(entry->contentType, expected.contentType);
        expectBody(*entry, expected.size, expected.start);
    }
    // Used under http://127.0.0.1 at 00:51:44.059, under http://localhost at 00:51:44.409.
    const std::optional<CacheEntry> logo = cache.lookup(site + "/img/logo.gif");
    ASSERT_TRUE(logo);
    EXPECT_EQ(logo->body.offset, blockFileHeader + 0x72 * 256); // stream 1 of 0xa001006b at 0xa1010072
    EXPECT_EQ(logo->localName, "logo[1].gif");
}

TEST(BlockfileCacheTest, LookupOfUnusableOrUnknownUrlsFindsNothing)
{
    BlockfileCache cache(fixtureFolder());

    for (const QString& url : QStringList{
             site + "/favicon.ico", "http://localhost:18431/favicon.ico", site + "/old.html", site + "/nostore.html",
             site + "/img/LOGO.gif", site + "/img/logo.gif#top", site,
             QString("1/0/_dk_http://127.0.0.1 http://127.0.0.1 ") + site + "/img/logo.gif",
             QString("Range_1/0/_dk_http://127.0.0.1 http://127.0.0.1 ") + site + "/media/tone.wav", QString()}) {
        EXPECT_FALSE(cache.lookup(url)) << url.toStdString();
    }
}

TEST(BlockfileCacheTest, RemoveLeavesEveryFileAsItWas)
{
    CacheCopy copy(fixtureFolder());
    QHash<QString, QByteArray> before;
    QHash<QString, QDateTime> modifiedBefore;
    for (const QString& name : QDir(copy.path()).entryList(QDir::Files)) {
        before[name] = fileBytes(copy.file(name));
        modifiedBefore[name] = QFileInfo(copy.file(name)).lastModified();
    }
    BlockfileCache cache(copy.path());
    ASSERT_TRUE(cache.lookup(site + "/img/logo.gif"));

    for (const FixtureEntry& entry : fixtureEntries())
        removeUrl(cache, entry.url);
    removeUrl(cache, site + "/favicon.ico");
    removeUrl(cache, site + "/not/cached.gif");

    QStringList names = before.keys();
    names.sort();
    EXPECT_EQ(QDir(copy.path()).entryList(QDir::Files, QDir::Name), names);
    for (auto file = before.cbegin(); file != before.cend(); ++file) {
        EXPECT_EQ(fileBytes(copy.file(file.key())), file.value()) << file.key().toStdString();
        EXPECT_EQ(QFileInfo(copy.file(file.key())).lastModified(), modifiedBefore[file.key()]);
    }
    EXPECT_TRUE(cache.lookup(site + "/img/logo.gif"));
    EXPECT_EQ(described(walk(cache)), described(fixtureEntries()));
}

TEST(BlockfileCacheTest, AnEntryIsCurrentOnlyWhileItsRecordStillHoldsIt)
{
    struct Case
    {
        const char* name;
        std::function<void(QByteArray& data1, qint64 at)> change;
        bool current;
    };
    const Case cases[] = {
        {"unchanged", [](QByteArray&, qint64) {}, true},
        // The browser evicted the entry and reused its blocks for another URL's record.
        {"another URL",
         [](QByteArray& data1, qint64 at) {
             const qint64 keyLength = u32At(data1, at + 32);
             const QByteArray key = data1.mid(at + 96, keyLength).replace("logo.gif", "LOGO.gif");
             data1.replace(at + 96, keyLength, key);
             patchU32(data1, at, SuperFastHash::of(key));
         },
         false},
        {"another body length", [](QByteArray& data1, qint64 at) { patchU32(data1, at + 44, 486); }, false},
        {"doomed", [](QByteArray& data1, qint64 at) { patchU32(data1, at + 20, 2); }, false},
    };
    for (const Case& recordCase : cases) {
        SCOPED_TRACE(recordCase.name);
        CacheCopy copy(fixtureFolder());
        BlockfileCache cache(copy.path());
        const std::vector<CacheEntry> entries = walk(cache);
        const auto logo = std::find_if(entries.begin(), entries.end(), [](const CacheEntry& entry) {
            return entry.entryKey == BlockfileCacheFolder::keyOf(BlockfileAddress(logoGif));
        });
        ASSERT_NE(logo, entries.end());
        editRecord(copy, logoGif, recordCase.change);
        EXPECT_EQ(cache.isCurrent(*logo), recordCase.current);
        EXPECT_EQ(cache.removeEntry(*logo), UrlCache::RemoveOutcome::ReadOnly);
    }
}

TEST(BlockfileCacheTest, FifosInPlaceOfCacheFilesAreSkippedWithoutWaiting)
{
    struct Case
    {
        const char* file;
        std::vector<FixtureEntry> expected;
    };
    const Case cases[] = {
        {"index", {}},
        {"data_1", {}}, // every entry record
        {"f_000002", allBut({photoBigJpg})},
    };
    for (const Case& fifoCase : cases) {
        SCOPED_TRACE(fifoCase.file);
        CacheCopy copy(fixtureFolder());
        replaceByFifo(copy.file(fifoCase.file));
        expectNoWaitOn({copy.file(fifoCase.file)}, [&] {
            EXPECT_EQ(BlockfileCache::recognises(copy.path()), QLatin1String(fifoCase.file) != "index");
            BlockfileCache cache(copy.path());
            EXPECT_EQ(described(walk(cache)), described(fifoCase.expected));
            EXPECT_EQ(cache.lookup(site + "/img/logo.gif").has_value(), !fifoCase.expected.empty());
        });
    }
}

TEST(BlockfileCacheTest, RecognisesOnlyABlockfileFolder)
{
    QTemporaryDir empty;
    CacheCopy withoutData0(fixtureFolder());
    QFile::remove(withoutData0.file("data_0"));
    CacheCopy oldVersion(fixtureFolder());
    oldVersion.edit("index", [](QByteArray& index) { patchU32(index, 4, 0x20001); });
    CacheCopy unknownVersion(fixtureFolder());
    unknownVersion.edit("index", [](QByteArray& index) { patchU32(index, 4, 0x40000); });

    EXPECT_TRUE(BlockfileCache::recognises(fixtureFolder()));
    EXPECT_TRUE(BlockfileCache::recognises(oldVersion.path()));
    EXPECT_FALSE(BlockfileCache::recognises(unknownVersion.path()));
    EXPECT_FALSE(BlockfileCache::recognises(withoutData0.path()));
    EXPECT_FALSE(BlockfileCache::recognises(QStringLiteral(WEBGLEANER_TEST_DATA "/caches/chromium-simple/Cache_Data")));
    EXPECT_FALSE(BlockfileCache::recognises(empty.path()));
    EXPECT_FALSE(BlockfileCache::recognises(empty.path() + "/missing"));
}

TEST(BlockfileCacheTest, DamagedFilesLoseOnlyWhatTheyHold)
{
    const auto patchIndexHeader = [](qint64 offset, quint32 value) {
        return [=](const CacheCopy& copy) {
            copy.edit("index", [&](QByteArray& index) { patchU32(index, offset, value); });
        };
    };
    const auto patchBlockFileHeader = [](const char* name, qint64 offset, quint32 value) {
        return
            [=](const CacheCopy& copy) { copy.edit(name, [&](QByteArray& bytes) { patchU32(bytes, offset, value); }); };
    };
    const auto truncate = [](const char* name, qint64 size) {
        return [=](const CacheCopy& copy) { copy.edit(name, [&](QByteArray& bytes) { bytes.truncate(size); }); };
    };
    const auto removeFile = [](const char* name) {
        return [=](const CacheCopy& copy) { QFile::remove(copy.file(name)); };
    };
    const auto headBucketWith = [](quint32 address, quint32 head) {
        return [=](const CacheCopy& copy) { setBucketHead(copy, bucketOf(address), head); };
    };
    const auto patchRecord = [](quint32 address, qint64 offset, quint32 value) {
        return [=](const CacheCopy& copy) {
            editRecord(copy, address, [&](QByteArray& data1, qint64 at) { patchU32(data1, at + offset, value); });
        };
    };
    const auto patchRankingsNode = [](quint32 address, qint64 offset, quint32 value, bool reseal) {
        return [=](const CacheCopy& copy) {
            const quint32 node = u32At(fileBytes(copy.file("data_1")), recordOffset(address) + 8);
            copy.edit("data_0", [&](QByteArray& data0) {
                patchU32(data0, rankingsOffset(node) + offset, value);
                if (reseal)
                    resealRankingsNode(data0, node);
            });
        };
    };
    const auto breakRecordChecksum = [](quint32 address) {
        return [=](const CacheCopy& copy) {
            copy.edit("data_1", [&](QByteArray& data1) { patchU32(data1, recordOffset(address) + 12, 7); });
        };
    };
    // Stream 2 of a range-fetched resource: a 64-byte header, then a bitmap of children (parent) or of
    // filled 1 KiB blocks (child).
    const qint64 toneWavChildren = recordOffset(0xa001002f) + 64;
    const qint64 toneWavChildBitmap = recordOffset(0xa001005b) + 64;
    const auto clearSparseBit = [](qint64 bitmapOffset, int bit) {
        return [=](const CacheCopy& copy) {
            copy.edit("data_1", [&](QByteArray& data1) {
                data1[bitmapOffset + bit / 8] = char(data1[bitmapOffset + bit / 8] & ~(1 << (bit % 8)));
            });
        };
    };
    // Record fields: 0 key hash, 4 next, 8 rankings node, 20 state, 32 key length, 36 long key,
    // 40 stream sizes, 56 stream addresses, 92 checksum, 96 inline key.
    struct Case
    {
        const char* name;
        std::function<void(const CacheCopy&)> damage;
        std::vector<FixtureEntry> expected;
    };
    const std::vector<Case> cases = {
        {"index missing", removeFile("index"), {}},
        {"index empty", truncate("index", 0), {}},
        {"index magic", patchIndexHeader(0, 0xC103CAC4), {}},
        {"index version 4.0", patchIndexHeader(4, 0x40000), {}},
        {"index version 2.1 (older, same layout)", patchIndexHeader(4, 0x20001), allBut({})},
        {"table cut short", truncate("index", tableOffset + 4 * 65535), {}},
        {"table length not a power of two", patchIndexHeader(28, 65535), {}},
        {"table length beyond the file", patchIndexHeader(28, 1u << 17), {}},
        {"table length absurd", patchIndexHeader(28, 1u << 31), {}},
        {"data_1 magic", patchBlockFileHeader("data_1", 0, 0xC104CAC4), {}},
        {"data_1 claims to be data_2", patchBlockFileHeader("data_1", 8, 2), {}},
        {"data_1 block size 1024", patchBlockFileHeader("data_1", 12, 1024), {}},
        {"data_1 capacity 0", patchBlockFileHeader("data_1", 20, 0), {}},
        {"data_1 capacity beyond the file", patchBlockFileHeader("data_1", 20, 0xffffffff), allBut({})},
        {"data_1 cut to its header", truncate("data_1", blockFileHeader), {}},
        {"data_1 cut through the first entry", truncate("data_1", recordOffset(0xa0010002) + 100), {}},
        {"data_0 missing (no last-use times)", removeFile("data_0"), {}},
        {"data_2 missing", removeFile("data_2"), allBut({longerKeyIcon, longKeyIcon, iconPng, iconPngV2})},
        {"f_000002 missing", removeFile("f_000002"), allBut({photoBigJpg})},
        {"f_000002 one byte short", truncate("f_000002", 1064401), allBut({photoBigJpg})},
        {"f_000003 missing", removeFile("f_000003"), allBut({toneWav})},
        // Bucket heads
        {"bucket head beyond the block file's capacity", headBucketWith(logoGif, 0xa001ffff), allBut({logoGif})},
        {"bucket head's blocks run past the capacity", headBucketWith(logoGif, 0xa30103fe), allBut({logoGif})},
        {"bucket head in a block file that is missing", headBucketWith(logoGif, 0xa009000c), allBut({logoGif})},
        {"bucket head of an unknown file type", headBucketWith(logoGif, 0xd001000c), allBut({logoGif})},
        {"bucket head with reserved bits", headBucketWith(logoGif, 0xa401000c), allBut({logoGif})},
        {"bucket head names a rankings node", headBucketWith(logoGif, 0x90000004), allBut({logoGif})},
        {"bucket head names a 1 KiB block", headBucketWith(logoGif, 0xb0020004), allBut({logoGif})},
        {"bucket head names an external file", headBucketWith(logoGif, 0x80000002), allBut({logoGif})},
        {"bucket head not initialized", headBucketWith(logoGif, 0x2001000c), allBut({logoGif})},
        {"bucket head names a record of another bucket", headBucketWith(logoGif, styleCss), allBut({logoGif})},
        // Chains
        {"chain loops on itself", patchRecord(logoGif, 4, logoGif), allBut({})},
        {"chain leads into another bucket", patchRecord(logoGif, 4, styleCss), allBut({})},
        {"chain leads beyond the file", patchRecord(logoGif, 4, 0xa001ff00), allBut({})},
        {"one bucket whose chain loops",
         [&](const CacheCopy& copy) {
             patchIndexHeader(28, 1)(copy);
             setBucketHead(copy, 0, logoGif);
             patchRecord(logoGif, 4, styleCss)(copy);
             patchRecord(styleCss, 4, logoGif)(copy);
         },
         only({logoGif, styleCss})},
        // Records
        {"record checksum", breakRecordChecksum(logoGif), allBut({logoGif})},
        {"record evicted", patchRecord(logoGif, 20, 1), allBut({logoGif})},
        {"record doomed", patchRecord(logoGif, 20, 2), allBut({logoGif})},
        {"key hash", patchRecord(logoGif, 0, 0x12340000 | bucketOf(logoGif)), allBut({logoGif})},
        {"key length beyond the record", patchRecord(logoGif, 32, 161), allBut({logoGif})},
        {"key length negative", patchRecord(logoGif, 32, 0xffffff00), allBut({logoGif})},
        {"key length zero", patchRecord(logoGif, 32, 0), allBut({logoGif})},
        {"long key beyond data_2", patchRecord(longerKeyIcon, 36, 0xb102ffff), allBut({longerKeyIcon})},
        {"long key longer than its blocks", patchRecord(longerKeyIcon, 32, 2049), allBut({longerKeyIcon})},
        {"long key in a missing external file", patchRecord(longerKeyIcon, 36, 0x800000ff), allBut({longerKeyIcon})},
        {"response info empty", patchRecord(logoGif, 40, 0), allBut({logoGif})},
        {"response info beyond its blocks", patchRecord(logoGif, 40, 513), allBut({logoGif})},
        {"response info size absurd", patchRecord(logoGif, 40, 0x7fffffff), allBut({logoGif})},
        {"response info without address", patchRecord(logoGif, 56, 0), allBut({logoGif})},
        {"body beyond its blocks", patchRecord(logoGif, 44, 513), allBut({logoGif})},
        {"body size negative", patchRecord(logoGif, 44, 0xfffffff0), allBut({logoGif})},
        {"body without address", patchRecord(logoGif, 60, 0), allBut({logoGif})},
        {"body blocks beyond the file", patchRecord(logoGif, 60, 0xa10103ff), allBut({logoGif})},
        {"body in a missing external file", patchRecord(logoGif, 60, 0x80000abc), allBut({logoGif})},
        {"body longer than its external file", patchRecord(photoBigJpg, 44, 1064403), allBut({photoBigJpg})},
        {"body address of an unknown file type", patchRecord(logoGif, 60, 0xf1010016), allBut({logoGif})},
        // Rankings nodes
        {"rankings node dirty", patchRankingsNode(logoGif, 28, 1, true), allBut({logoGif})},
        {"rankings node of another entry", patchRankingsNode(logoGif, 24, styleCss, true), allBut({logoGif})},
        {"rankings node checksum", patchRankingsNode(logoGif, 0, 0, false), allBut({logoGif})},
        {"rankings node address of a record", patchRecord(logoGif, 8, logoGif), allBut({logoGif})},
        {"rankings node beyond data_0", patchRecord(logoGif, 8, 0x9000ffff), allBut({logoGif})},
        // Range-fetched resource
        {"range child missing", headBucketWith(toneWavChild, 0), allBut({toneWav})},
        {"range child's block bitmap with a gap", clearSparseBit(toneWavChildBitmap, 100), allBut({toneWav})},
        {"range child's last partial block missing", clearSparseBit(toneWavChildBitmap, 214), allBut({toneWav})},
        {"range parent without child 0", clearSparseBit(toneWavChildren, 0), allBut({toneWav})},
        {"range child body shorter", patchRecord(toneWavChild, 44, 220543), allBut({toneWav})},
        {"range parent with a body", patchRecord(toneWav, 44, 10), allBut({toneWav})},
        {"range parent flag cleared", patchRecord(toneWav, 72, 0), allBut({toneWav})},
    };
    for (const Case& damageCase : cases) {
        SCOPED_TRACE(damageCase.name);
        CacheCopy copy(fixtureFolder());
        damageCase.damage(copy);
        BlockfileCache cache(copy.path());
        const std::vector<CacheEntry> walked = walk(cache);
        EXPECT_EQ(described(walked), described(damageCase.expected));
        for (const CacheEntry& entry : walked)
            EXPECT_TRUE(bodyOf(entry));
        for (const FixtureEntry& fixture : fixtureEntries()) {
            const std::optional<FixtureEntry> expected = mostRecent(damageCase.expected, fixture.url);
            const std::optional<CacheEntry> found = cache.lookup(fixture.url);
            ASSERT_EQ(found.has_value(), expected.has_value()) << fixture.url.left(80).toStdString();
            if (found) {
                EXPECT_EQ(found->lastAccess, expected->lastUsed);
            }
        }
    }
}

TEST(BlockfileCacheTest, LastUseFallsBackToTheCreationTime)
{
    CacheCopy copy(fixtureFolder());
    const quint32 node = u32At(fileBytes(copy.file("data_1")), recordOffset(logoGif) + 8);
    copy.edit("data_0", [&](QByteArray& data0) {
        // A last use before 1990 only comes from damage.
        patchU32(data0, rankingsOffset(node), 1);
        patchU32(data0, rankingsOffset(node) + 4, 0);
        resealRankingsNode(data0, node);
    });
    BlockfileCache cache(copy.path());
    const std::vector<CacheEntry> entries = walk(cache);
    const auto logo = std::find_if(entries.begin(), entries.end(), [](const CacheEntry& entry) {
        return entry.body.offset == blockFileHeader + 0x16 * 256;
    });
    ASSERT_NE(logo, entries.end());
    // The record's creation time, 8 bytes at offset 24.
    const QByteArray data1 = fileBytes(copy.file("data_1"));
    const qint64 created = qFromLittleEndian<qint64>(data1.constData() + recordOffset(logoGif) + 24);
    EXPECT_EQ(logo->lastAccess.toMSecsSinceEpoch(), (created - 11'644'473'600'000'000LL) / 1000);
}

TEST(BlockfileCacheTest, WalksAndLookupsFromSeveralThreads)
{
    BlockfileCache cache(fixtureFolder());
    std::vector<std::thread> threads;
    for (int reader = 0; reader < 3; ++reader) {
        threads.emplace_back([&] {
            for (const FixtureEntry& fixture : fixtureEntries()) {
                const std::optional<CacheEntry> entry = cache.lookup(fixture.url);
                ASSERT_TRUE(entry);
                EXPECT_EQ(entry->lastAccess, mostRecent(fixtureEntries(), fixture.url)->lastUsed);
                EXPECT_TRUE(bodyOf(*entry));
            }
        });
    }
    threads.emplace_back([&] { EXPECT_EQ(described(walk(cache)), described(fixtureEntries())); });
    for (std::thread& thread : threads)
        thread.join();
}

} // namespace
