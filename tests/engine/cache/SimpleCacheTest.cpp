// The simple-cache reader against a cache written by Debian's chromium (tests/data/caches/chromium-simple;
// listing.txt beside it says what the browser was sent and what the cache holds).

#include "engine/cache/SimpleCache.h"
#include "CacheCopy.h"
#include "CacheTestSupport.h"
#include "engine/cache/SimpleSparseFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtEndian>

#include <gtest/gtest.h>

#include <functional>
#include <thread>
#include <vector>

namespace
{

const QString site = QStringLiteral("http://127.0.0.1:18431");

QString fixtureFolder()
{
    return QStringLiteral(WEBGLEANER_TEST_DATA "/caches/chromium-simple/Cache_Data");
}

// The walk goes in the order of entry file names; comparisons go by URL.
QStringList sortedUrlsOf(const std::vector<CacheEntry>& entries)
{
    QStringList urls = urlsOf(entries);
    urls.sort();
    return urls;
}

// What lookup must give for each usable URL: decoded size, Content-Type, last use (the most recent where
// several sites' partitions hold the URL) and how the decoded body starts.
struct UsableEntry
{
    QString url;
    qint64 size;
    QString contentType;
    QDateTime lastUsed;
    QByteArray start;
};

std::vector<UsableEntry> usableEntries()
{
    const QByteArray png("\x89PNG\r\n\x1a\n", 8);
    const QByteArray jpeg("\xff\xd8\xff\xe0", 4);
    return {
        {site + "/big/photo-big.jpg", 1064402, "image/jpeg", utc("2026-12-10T00:51:28Z"), jpeg},
        {site + "/css/print.css", 1015, "text/css", utc("2026-12-10T00:51:28Z"), "/* print style"}, // zstd
        {site + "/css/style.css", 1902, "text/css", utc("2026-12-10T00:51:33Z"), "/* main styl"},   // gzip
        {site + "/data/info.json", 152, "application/json", utc("2026-12-10T00:51:29Z"), "{\"name\": \"sa"},
        {site + "/gbk.html", 268, "text/html; charset=GBK", utc("2026-12-10T00:51:33Z"), "<!DOCTYPE"},
        {site + "/img/icon.png", 1077, "image/png", utc("2026-12-10T00:51:33Z"), png},
        {site + "/img/icon.png?long=" + QString(300, 'a'), 1077, "image/png", utc("2026-12-10T00:51:28Z"), png},
        {site + "/img/icon.png?longer=" + QString(1200, 'b'), 1077, "image/png", utc("2026-12-10T00:51:28Z"), png},
        {site + "/img/icon.png?v=2", 1077, "image/png", utc("2026-12-10T00:51:28Z"), png},
        {site + "/img/logo.gif", 487, "image/gif", utc("2026-12-10T00:51:29Z"), "GIF89a"},
        {site + "/img/photo.jpg", 41512, "image/jpeg", utc("2026-12-10T00:51:33Z"), jpeg},
        {site + "/index.html", 811, "text/html; charset=utf-8", utc("2026-12-10T00:51:28Z"), "<!DOCTYPE"},
        {site + "/js/app.js", 2091, "application/javascript", utc("2026-12-10T00:51:28Z"), "// application"}, // br
        {site + "/js/plain.js", 62, "application/javascript", utc("2026-12-10T00:51:29Z"), "// plain scr"},
        // Fetched by range: its body lies in five pieces of its _s file.
        {site + "/media/tone.wav", 220544, "audio/wav", utc("2026-12-10T00:51:24Z"), "RIFF"},
        {site + "/sub/dir/local.js", 59, "application/javascript", utc("2026-12-10T00:51:28Z"), "// script re"},
        {site + "/sub/dir/local.png", 277, "image/png", utc("2026-12-10T00:51:28Z"), png},
        {site + "/sub/dir/page.html", 441, "text/html; charset=utf-8", utc("2026-12-10T00:51:29Z"), "<!DOCTYPE"},
        {site + "/sub/shared.gif", 63, "image/gif", utc("2026-12-10T00:51:28Z"), "GIF89a"},
        {site + "/text/notes.txt", 659, "text/plain; charset=utf-8", utc("2026-12-10T00:51:28Z"),
         "\xe7\xac\xac"}, // deflate
        {site + "/text/readme.txt", 46, "text/plain; charset=utf-8", utc("2026-12-10T00:51:28Z"), "Plain text f"},
        {site + "/text/readme.txt?via=cross-site-link", 46, "text/plain; charset=utf-8", utc("2026-12-10T00:51:29Z"),
         "Plain text f"},
        {site + "/upper.html", 1770, "text/html; charset=utf-8", utc("2026-12-10T00:51:28Z"), "<HTML>"}, // gzip
        {"http://localhost:18431/cross.html", 391, "text/html; charset=utf-8", utc("2026-12-10T00:51:29Z"),
         "<!DOCTYPE"},
    };
}

// URLs that two sites' partitions each hold once.
const QStringList urlsInTwoPartitions = {site + "/img/logo.gif", site + "/js/plain.js", site + "/sub/dir/page.html"};

TEST(SimpleCacheTest, WalkOffersExactlyTheUsableEntries)
{
    SimpleCache cache(fixtureFolder());

    QStringList expected = urlsInTwoPartitions;
    for (const UsableEntry& usable : usableEntries())
        expected.append(usable.url);
    expected.sort();
    // Left out: the 404 favicons, the 301 old.html and nostore.html (never stored).
    EXPECT_EQ(sortedUrlsOf(walk(cache)), expected);
}

TEST(SimpleCacheTest, WalkGoesThroughEntryFilesInNameOrder)
{
    SimpleCache cache(fixtureFolder());

    QStringList files;
    for (const CacheEntry& entry : walk(cache)) {
        files.append(QFileInfo(entry.body.file).fileName());
        EXPECT_EQ(entry.sourceFolder, QDir(fixtureFolder()).absolutePath());
        EXPECT_EQ(entry.entryKey, QFileInfo(entry.body.file).fileName().replace("_s", "_0"));
    }
    QStringList sorted = files;
    sorted.sort();
    EXPECT_EQ(files, sorted);
}

TEST(SimpleCacheTest, LookupGivesDecodedSizeTypeLastUseAndBody)
{
    SimpleCache cache(fixtureFolder());

    for (const UsableEntry& usable : usableEntries()) {
        SCOPED_TRACE(usable.url.left(80).toStdString());
        const std::optional<CacheEntry> entry = cache.lookup(usable.url);
        ASSERT_TRUE(entry);
        EXPECT_EQ(entry->url, usable.url);
        EXPECT_EQ(entry->contentType, usable.contentType);
        EXPECT_EQ(entry->lastAccess, usable.lastUsed);
        EXPECT_EQ(entry->lastAccess.timeSpec(), Qt::UTC);
        expectBody(*entry, usable.size, usable.start);
    }
}

TEST(SimpleCacheTest, LookupTakesTheMostRecentlyUsedPartition)
{
    SimpleCache cache(fixtureFolder());

    // Used under http://127.0.0.1 at 00:51:28 (d861c6f1cfbb74fc_0), under http://localhost at 00:51:29.
    const std::optional<CacheEntry> logo = cache.lookup(site + "/img/logo.gif");
    ASSERT_TRUE(logo);
    EXPECT_EQ(QFileInfo(logo->body.file).fileName(), "0ed4f83b205225ba_0");
    EXPECT_EQ(logo->localName, "logo[1].gif");
}

TEST(SimpleCacheTest, LookupFindsAnEntryWrittenAfterTheMapOnceReadAlone)
{
    CacheCopy copy(fixtureFolder());
    const QString photo = site + "/img/photo.jpg";
    SimpleCache cache(copy.path());
    const std::optional<CacheEntry> before = cache.lookup(photo);
    ASSERT_TRUE(before);
    const QString fileName = before->entryKey;
    const QByteArray bytes = fileBytes(copy.file(fileName));
    ASSERT_TRUE(QFile::remove(copy.file(fileName)));
    EXPECT_FALSE(cache.lookup(photo));

    copy.write(fileName, bytes);
    EXPECT_FALSE(cache.readEntryOf(QStringLiteral("/elsewhere"), fileName));
    EXPECT_FALSE(cache.readEntryOf(copy.path(), QStringLiteral("index")));
    const std::optional<CacheEntry> read = cache.readEntryOf(copy.path(), fileName);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->url, photo);
    const std::optional<CacheEntry> after = cache.lookup(photo);
    ASSERT_TRUE(after);
    EXPECT_EQ(after->entryKey, fileName);
}

TEST(SimpleCacheTest, LookupFindsTheEntriesOfAFolderMadeAgainOnceForgotten)
{
    CacheCopy copy(fixtureFolder());
    const QString photo = site + "/img/photo.jpg";
    SimpleCache cache(copy.path());
    ASSERT_TRUE(cache.lookup(photo));
    ASSERT_TRUE(QDir(copy.path()).removeRecursively());
    ASSERT_TRUE(copyFolder(fixtureFolder(), copy.path()));
    cache.forgetFolder(copy.path());
    const std::optional<CacheEntry> found = cache.lookup(photo);
    ASSERT_TRUE(found);
    EXPECT_TRUE(bodyOf(*found));
}

TEST(SimpleCacheTest, LookupOfUnusableOrUnknownUrlsFindsNothing)
{
    SimpleCache cache(fixtureFolder());

    for (const QString& url :
         {site + "/favicon.ico", site + "/old.html", site + "/nostore.html", site + "/img/LOGO.gif",
          site + "/img/logo.gif#top", QString("1/0/_dk_http://127.0.0.1 http://127.0.0.1 ") + site + "/img/logo.gif"}) {
        EXPECT_FALSE(cache.lookup(url)) << url.toStdString();
    }
}

// The whole resource the fixture's sparse file holds, its ranges put together.
QByteArray sparseResource(const QString& fixtureSparsePath)
{
    const QByteArray original = fileBytes(fixtureSparsePath);
    const qint64 keyLength = quint8(original[12]) | (quint8(original[13]) << 8);
    QByteArray resource;
    const std::optional<SimpleSparseFile> sparse =
        SimpleSparseFile::read(fixtureSparsePath, QByteArrayView(original).sliced(24, keyLength));
    for (const SimpleSparseFile::Range& range : sparse->ranges())
        resource.append(original.mid(range.fileOffset, range.length));
    return resource;
}

// Writes the fixture's range-fetched WAV as a sparse file holding the given pieces of the resource.
QByteArray sparseFileWith(const QString& fixtureSparsePath, const QList<QPair<qint64, qint64>>& pieces)
{
    const QByteArray original = fileBytes(fixtureSparsePath);
    const qint64 keyLength = quint8(original[12]) | (quint8(original[13]) << 8);
    const QByteArray resource = sparseResource(fixtureSparsePath);

    QByteArray rewritten = original.left(24 + keyLength);
    for (const auto& [offset, length] : pieces) {
        QByteArray header(32, '\0');
        qToLittleEndian<quint64>(0xeb97bf016553676bull, header.data());
        qToLittleEndian<qint64>(offset, header.data() + 8);
        qToLittleEndian<qint64>(length, header.data() + 16);
        rewritten.append(header).append(resource.mid(offset, length));
    }
    return rewritten;
}

TEST(SimpleCacheTest, RangeFetchedResourceIsOfferedWhenItsSparseFileHoldsAllOfIt)
{
    const QString wavUrl = site + "/media/tone.wav";
    const QString fixtureSparse = fixtureFolder() + "/16921d05fc27a90d_s";
    const std::optional<SimpleSparseFile> fixture = SimpleSparseFile::read(
        fixtureSparse, QByteArray("1/0/_dk_http://127.0.0.1 http://127.0.0.1 ") + wavUrl.toLatin1());
    ASSERT_TRUE(fixture);
    EXPECT_EQ(fixture->ranges().size(), 5);
    EXPECT_TRUE(fixture->coversWhole(220544));
    EXPECT_FALSE(fixture->coversWhole(220545));

    struct Case
    {
        const char* name;
        QList<QPair<qint64, qint64>> pieces;
        bool offered;
    };
    const Case cases[] = {
        {"whole in one piece", {{0, 220544}}, true},
        {"two pieces, written out of order", {{100000, 120544}, {0, 100000}}, true},
        {"three pieces", {{0, 1}, {1, 200000}, {200001, 20543}}, true},
        {"last byte missing", {{0, 220543}}, false},
        {"first byte missing", {{1, 220543}}, false},
        {"a gap between two pieces", {{0, 100000}, {100001, 120543}}, false},
        {"two pieces overlapping", {{0, 100001}, {100000, 120544}}, false},
        {"no pieces", {}, false},
    };
    for (const Case& sparseCase : cases) {
        SCOPED_TRACE(sparseCase.name);
        CacheCopy copy(fixtureFolder());
        copy.write("16921d05fc27a90d_s", sparseFileWith(fixtureSparse, sparseCase.pieces));
        SimpleCache cache(copy.path());
        const std::optional<CacheEntry> wav = cache.lookup(wavUrl);
        ASSERT_EQ(wav.has_value(), sparseCase.offered);
        if (!wav)
            continue;
        EXPECT_EQ(wav->size, 220544);
        EXPECT_EQ(wav->contentType, "audio/wav");
        EXPECT_TRUE(bodyOf(*wav) == sparseResource(fixtureSparse));
    }
}

TEST(SimpleCacheTest, LastUseFallsBackToTheFileTimeWithoutAUsableIndex)
{
    const QString index = "index-dir/the-real-index";
    const QByteArray intact = fileBytes(fixtureFolder() + "/" + index);
    struct Case
    {
        const char* name;
        std::function<void(const CacheCopy&)> damage;
    };
    const Case cases[] = {
        {"missing", [&](const CacheCopy& copy) { QFile::remove(copy.file(index)); }},
        {"no index-dir", [&](const CacheCopy& copy) { QDir(copy.file("index-dir")).removeRecursively(); }},
        {"empty", [&](const CacheCopy& copy) { copy.write(index, {}); }},
        {"garbage", [&](const CacheCopy& copy) { copy.write(index, QByteArray(768, '\xa5')); }},
        {"cut short", [&](const CacheCopy& copy) { copy.write(index, intact.left(500)); }},
        {"a record changed (CRC)",
         [&](const CacheCopy& copy) {
             QByteArray changed = intact;
             changed[100] = char(changed[100] ^ 1);
             copy.write(index, changed);
         }},
        {"payload length beyond the file",
         [&](const CacheCopy& copy) {
             QByteArray changed = intact;
             patchU32(changed, 0, 0xfffffff0u);
             copy.write(index, changed);
         }},
    };
    const QDateTime fileTime = utc("2030-01-02T03:04:05Z");
    for (const Case& indexCase : cases) {
        SCOPED_TRACE(indexCase.name);
        CacheCopy copy(fixtureFolder());
        indexCase.damage(copy);
        QFile gbk(copy.file("d1e96579eae9871d_0"));
        ASSERT_TRUE(gbk.open(QIODevice::ReadWrite));
        ASSERT_TRUE(gbk.setFileTime(fileTime, QFileDevice::FileModificationTime));
        gbk.close();

        SimpleCache cache(copy.path());
        const std::optional<CacheEntry> entry = cache.lookup(site + "/gbk.html");
        ASSERT_TRUE(entry);
        EXPECT_EQ(entry->lastAccess, fileTime);
        EXPECT_EQ(walk(cache).size(), 27u);
    }
}

void flipByte(QByteArray& bytes, qint64 offset)
{
    bytes[offset] = char(bytes[offset] ^ 0x20);
}

TEST(SimpleCacheTest, DamagedEntriesAreSkippedAndTheOthersStillListed)
{
    // style.css is read whole (1086 bytes); photo.jpg (42 006) and photo-big.jpg (1 MB) only at their ends.
    const QString small = "ddc51e287126bf2b_0";
    const QString medium = "f96ce57fc735f710_0";
    const QString big = "64803589626798ed_0";
    const auto lastRecord = [](const QByteArray& bytes) { return bytes.size() - 24; };
    const auto keyLength = [](const QByteArray& bytes) { return qint64(u32At(bytes, 12)); };
    struct Case
    {
        const char* name;
        QString file;
        std::function<void(QByteArray&)> damage;
    };
    const std::vector<Case> cases = {
        {"empty", small, [](QByteArray& b) { b.clear(); }},
        {"header only", small, [](QByteArray& b) { b.truncate(24); }},
        {"one byte short of header and end record", small, [](QByteArray& b) { b.truncate(47); }},
        {"header, key and half the body (being written)", small, [](QByteArray& b) { b.truncate(400); }},
        {"last byte missing", small, [](QByteArray& b) { b.chop(1); }},
        {"end record missing", small, [](QByteArray& b) { b.chop(24); }},
        {"being written", medium, [](QByteArray& b) { b.truncate(30000); }},
        {"being written", big, [](QByteArray& b) { b.truncate(372000); }},
        {"last byte missing", big, [](QByteArray& b) { b.chop(1); }},
        {"bad header magic", small, [](QByteArray& b) { flipByte(b, 0); }},
        {"entry version 6", small, [](QByteArray& b) { patchU32(b, 8, 6); }},
        {"bad final magic", small, [&](QByteArray& b) { flipByte(b, lastRecord(b)); }},
        {"bad final magic", big, [&](QByteArray& b) { flipByte(b, lastRecord(b)); }},
        {"huge key length", small, [](QByteArray& b) { patchU32(b, 12, 0xfffffff0u); }},
        {"huge key length", big, [](QByteArray& b) { patchU32(b, 12, 0xfffffff0u); }},
        {"key length one too long", small, [&](QByteArray& b) { patchU32(b, 12, quint32(keyLength(b) + 1)); }},
        {"key length one too short", medium, [&](QByteArray& b) { patchU32(b, 12, quint32(keyLength(b) - 1)); }},
        {"key hash changed", small, [](QByteArray& b) { flipByte(b, 16); }},
        {"stream 0 beyond the file", small, [&](QByteArray& b) { patchU32(b, lastRecord(b) + 16, 0x7fffffffu); }},
        {"stream 0 size all ones", big, [&](QByteArray& b) { patchU32(b, lastRecord(b) + 16, 0xffffffffu); }},
        {"stream 0 as large as the file", medium,
         [&](QByteArray& b) { patchU32(b, lastRecord(b) + 16, quint32(b.size())); }},
        {"stream 0 one byte longer", small,
         [&](QByteArray& b) { patchU32(b, lastRecord(b) + 16, u32At(b, lastRecord(b) + 16) + 1); }},
        {"body byte changed (CRC)", small, [&](QByteArray& b) { flipByte(b, 24 + keyLength(b) + 10); }},
        {"response head byte changed (CRC)", big, [&](QByteArray& b) { flipByte(b, lastRecord(b) - 32 - 100); }},
        {"key digest changed", medium, [&](QByteArray& b) { flipByte(b, lastRecord(b) - 5); }},
        {"URL in the key changed", small, [&](QByteArray& b) { flipByte(b, 24 + keyLength(b) - 3); }},
        {"response marked truncated", small,
         [&](QByteArray& b) {
             // Flag bit 12 of the response info; its CRC is switched off so only the flag can refuse it.
             const qint64 responseInfo = lastRecord(b) - 32 - u32At(b, lastRecord(b) + 16);
             patchU32(b, responseInfo + 4, u32At(b, responseInfo + 4) | (1u << 12));
             patchU32(b, lastRecord(b) + 8, u32At(b, lastRecord(b) + 8) & ~1u);
         }},
        {"response info version 2", small,
         [&](QByteArray& b) {
             const qint64 responseInfo = lastRecord(b) - 32 - u32At(b, lastRecord(b) + 16);
             patchU32(b, responseInfo + 4, (u32At(b, responseInfo + 4) & ~0xffu) | 2);
             patchU32(b, lastRecord(b) + 8, u32At(b, lastRecord(b) + 8) & ~1u);
         }},
        {"response head length beyond stream 0", small,
         [&](QByteArray& b) {
             const qint64 responseInfo = lastRecord(b) - 32 - u32At(b, lastRecord(b) + 16);
             patchU32(b, responseInfo + 4 + 32, 0x7ffffff0u);
             patchU32(b, lastRecord(b) + 8, u32At(b, lastRecord(b) + 8) & ~1u);
         }},
    };
    SimpleCache pristine(fixtureFolder());
    const std::vector<CacheEntry> pristineEntries = walk(pristine);
    for (const Case& damageCase : cases) {
        SCOPED_TRACE((damageCase.file + ": " + damageCase.name).toStdString());
        CacheCopy copy(fixtureFolder());
        copy.edit(damageCase.file, damageCase.damage);

        QStringList expected;
        for (const CacheEntry& entry : pristineEntries) {
            if (QFileInfo(entry.body.file).fileName() != damageCase.file)
                expected.append(entry.url);
        }
        expected.sort();
        SimpleCache cache(copy.path());
        EXPECT_EQ(sortedUrlsOf(walk(cache)), expected);
    }
}

TEST(SimpleCacheTest, LargeBodyThatFailsItsCrcIsNeverExtracted)
{
    // photo.jpg's file is too large to be read whole by a walk, so the walk cannot see a damaged byte in
    // the middle of its body: the entry is offered, and its body refused when read.
    const QString medium = "f96ce57fc735f710_0";
    CacheCopy copy(fixtureFolder());
    copy.edit(medium, [](QByteArray& bytes) { flipByte(bytes, 24 + qint64(u32At(bytes, 12)) + 20000); });

    SimpleCache cache(copy.path());
    const std::optional<CacheEntry> entry = cache.lookup(site + "/img/photo.jpg");
    ASSERT_TRUE(entry);
    EXPECT_EQ(refusalOf(*entry), EntryBody::Refusal::Damaged);
}

TEST(SimpleCacheTest, EntryFileNotNamedAfterItsKeyIsSkipped)
{
    CacheCopy copy(fixtureFolder());
    ASSERT_TRUE(QFile::rename(copy.file("ddc51e287126bf2b_0"), copy.file("ddc51e287126bf2c_0")));
    SimpleCache cache(copy.path());
    EXPECT_FALSE(cache.lookup(site + "/css/style.css"));
    EXPECT_EQ(walk(cache).size(), 26u);
}

TEST(SimpleCacheTest, RemoveDeletesEveryEntryFileOfTheUrlAndNothingElse)
{
    CacheCopy copy(fixtureFolder());
    copy.write("d861c6f1cfbb74fc_1", "stream 2 of one logo.gif entry");
    const QByteArray index = fileBytes(copy.file("index-dir/the-real-index"));
    SimpleCache cache(copy.path());
    ASSERT_TRUE(cache.lookup(site + "/img/logo.gif"));

    removeUrl(cache, site + "/img/logo.gif");
    // Not a usable entry, but an entry of the URL all the same: its _s file goes with it.
    removeUrl(cache, site + "/media/tone.wav");
    removeUrl(cache, site + "/not/cached.gif");

    for (const char* gone :
         {"d861c6f1cfbb74fc_0", "d861c6f1cfbb74fc_1", "0ed4f83b205225ba_0", "16921d05fc27a90d_0", "16921d05fc27a90d_s"})
        EXPECT_FALSE(QFileInfo::exists(copy.file(gone))) << gone;
    EXPECT_EQ(fileBytes(copy.file("index-dir/the-real-index")), index);
    EXPECT_TRUE(QFileInfo::exists(copy.file("index")));
    EXPECT_FALSE(cache.lookup(site + "/img/logo.gif"));
    EXPECT_TRUE(cache.lookup(site + "/img/photo.jpg"));
    const QStringList urls = urlsOf(walk(cache));
    EXPECT_EQ(urls.size(), 24);
    EXPECT_FALSE(urls.contains(site + "/img/logo.gif"));
}

TEST(SimpleCacheTest, RemoveBeforeAnyLookupFindsTheEntries)
{
    CacheCopy copy(fixtureFolder());
    SimpleCache cache(copy.path());
    removeUrl(cache, site + "/sub/dir/page.html");
    EXPECT_FALSE(QFileInfo::exists(copy.file("1c60c823ce1a8362_0")));
    EXPECT_FALSE(QFileInfo::exists(copy.file("644c502acaea71e3_0")));
    EXPECT_FALSE(cache.lookup(site + "/sub/dir/page.html"));
}

TEST(SimpleCacheTest, RemoveLeavesAFileThatNowHoldsAnotherUrl)
{
    CacheCopy copy(fixtureFolder());
    SimpleCache cache(copy.path());
    ASSERT_TRUE(cache.lookup(site + "/css/style.css"));
    // The browser replaced the file meanwhile; a name is never enough to delete by.
    ASSERT_TRUE(QFile::remove(copy.file("ddc51e287126bf2b_0")));
    ASSERT_TRUE(QFile::copy(copy.file("c8a5dea78a68b518_0"), copy.file("ddc51e287126bf2b_0")));
    removeUrl(cache, site + "/css/style.css");
    EXPECT_TRUE(QFileInfo::exists(copy.file("ddc51e287126bf2b_0")));
}

TEST(SimpleCacheTest, BodyOfAnEntryFileChangedSinceTheWalkIsRefused)
{
    const QString styleFile = "ddc51e287126bf2b_0";
    struct Case
    {
        const char* name;
        std::function<void(const CacheCopy&)> change;
        EntryBody::Refusal refusal;
    };
    const Case cases[] = {
        {"untouched", [](const CacheCopy&) {}, EntryBody::Refusal::None},
        // The browser writes a refreshed entry under the same name: same bytes here, but a new file.
        {"rewritten with a new time",
         [&](const CacheCopy& copy) {
             QFile file(copy.file(styleFile));
             ASSERT_TRUE(file.open(QIODevice::ReadWrite));
             ASSERT_TRUE(
                 file.setFileTime(QDateTime::currentDateTimeUtc().addSecs(5), QFileDevice::FileModificationTime));
         },
         EntryBody::Refusal::Changed},
        {"replaced by a copy",
         [&](const CacheCopy& copy) {
             const QByteArray bytes = fileBytes(copy.file(styleFile));
             ASSERT_TRUE(QFile::remove(copy.file(styleFile)));
             copy.write(styleFile, bytes);
         },
         EntryBody::Refusal::Changed},
        {"deleted", [&](const CacheCopy& copy) { ASSERT_TRUE(QFile::remove(copy.file(styleFile))); },
         EntryBody::Refusal::Vanished},
        {"a FIFO in its place", [&](const CacheCopy& copy) { replaceByFifo(copy.file(styleFile)); },
         EntryBody::Refusal::NotRegular},
    };
    for (const Case& changeCase : cases) {
        SCOPED_TRACE(changeCase.name);
        CacheCopy copy(fixtureFolder());
        SimpleCache cache(copy.path());
        const std::optional<CacheEntry> style = cache.lookup(site + "/css/style.css");
        ASSERT_TRUE(style);
        ASSERT_TRUE(style->body.stamp);
        // Small enough to be held from the walk: what is checked here is the status call that guards it.
        EXPECT_EQ(style->body.held.size(), style->body.length);
        changeCase.change(copy);
        expectNoWaitOn({copy.file(styleFile)}, [&] {
            EXPECT_EQ(refusalOf(*style), changeCase.refusal);
            const std::variant<qint64, EntryBody::Refusal> size = EntryBody::decodedSize(style->body);
            if (changeCase.refusal == EntryBody::Refusal::None)
                EXPECT_EQ(std::get<qint64>(size), 1902);
            else
                EXPECT_EQ(std::get<EntryBody::Refusal>(size), changeCase.refusal);
        });
    }
}

TEST(SimpleCacheTest, RemoveEntryDeletesExactlyThatPartitionsEntry)
{
    CacheCopy copy(fixtureFolder());
    SimpleCache cache(copy.path());
    std::vector<CacheEntry> logos;
    for (CacheEntry& entry : walk(cache)) {
        if (entry.url == site + "/img/logo.gif")
            logos.push_back(std::move(entry));
    }
    ASSERT_EQ(logos.size(), 2u);
    ASSERT_TRUE(cache.lookup(site + "/img/logo.gif")); // the URL map is built, and must follow

    EXPECT_EQ(cache.removeEntry(logos[0]), UrlCache::RemoveOutcome::Removed);
    EXPECT_FALSE(QFileInfo::exists(logos[0].body.file));
    EXPECT_TRUE(QFileInfo::exists(logos[1].body.file));
    const std::optional<CacheEntry> left = cache.lookup(site + "/img/logo.gif");
    ASSERT_TRUE(left);
    EXPECT_EQ(left->entryKey, logos[1].entryKey);
    EXPECT_EQ(cache.removeEntry(logos[0]), UrlCache::RemoveOutcome::Gone);

    // The other one was refreshed since the walk: it is another entry now, and stays.
    QFile file(logos[1].body.file);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    ASSERT_TRUE(file.setFileTime(QDateTime::currentDateTimeUtc().addSecs(5), QFileDevice::FileModificationTime));
    EXPECT_EQ(cache.removeEntry(logos[1]), UrlCache::RemoveOutcome::Gone);
    EXPECT_TRUE(QFileInfo::exists(logos[1].body.file));
    EXPECT_TRUE(cache.isCurrent(logos[1]));
}

TEST(SimpleCacheTest, FifosInPlaceOfCacheFilesAreSkippedWithoutWaiting)
{
    CacheCopy copy(fixtureFolder());
    const QStringList fifos = {copy.file("index"), copy.file("index-dir/the-real-index"),
                               copy.file("16921d05fc27a90d_s"), copy.file("0123456789abcdef_0")};
    for (const QString& fifo : fifos)
        replaceByFifo(fifo);
    SimpleCache cache(copy.path());
    expectNoWaitOn(fifos, [&] {
        // Without the index, last use comes from the files; without its _s file, tone.wav has no body.
        const QStringList urls = urlsOf(walk(cache));
        EXPECT_EQ(urls.size(), 26);
        EXPECT_FALSE(urls.contains(site + "/media/tone.wav"));
        EXPECT_FALSE(cache.lookup(site + "/media/tone.wav"));
        EXPECT_TRUE(cache.lookup(site + "/img/logo.gif"));
    });
}

TEST(SimpleCacheTest, LookupsAndRemovalsFromSeveralThreads)
{
    CacheCopy copy(fixtureFolder());
    SimpleCache cache(copy.path());
    const std::vector<UsableEntry> entries = usableEntries();

    std::vector<std::thread> threads;
    for (int reader = 0; reader < 3; ++reader) {
        threads.emplace_back([&] {
            for (const UsableEntry& usable : entries) {
                const std::optional<CacheEntry> entry = cache.lookup(usable.url);
                if (entry) {
                    EXPECT_EQ(entry->url, usable.url);
                    EntryBody::read(entry->body, EntryBody::kMaxDecodedSize);
                }
            }
        });
    }
    threads.emplace_back([&] {
        for (size_t i = 0; i < entries.size(); i += 2)
            removeUrl(cache, entries[i].url);
    });
    for (std::thread& thread : threads)
        thread.join();

    for (size_t i = 0; i < entries.size(); ++i)
        EXPECT_EQ(cache.lookup(entries[i].url).has_value(), i % 2 == 1) << entries[i].url.toStdString();
}

} // namespace
