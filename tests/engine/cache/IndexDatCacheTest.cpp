// The index.dat reader against caches written by Wine 8's WinINet (tests/data/caches/indexdat):
//   small/Content.IE5  13 entries with their local files
//   deleted/index.dat  small's index.dat after the platform deleted http://example.test/img/dot.gif
//   many/index.dat     612 entries in three hash tables, no local files
// Each listing.txt is the platform's own listing of that index, in its enumeration order.

#include "engine/cache/IndexDatCache.h"
#include "CacheCopy.h"
#include "CacheTestSupport.h"
#include "engine/cache/IndexDatFile.h"
#include "engine/cache/IndexDatUrlHash.h"

#include "QtPrinters.h"
#include <QDir>
#include <QFile>
#include <gtest/gtest.h>

#include <functional>
#include <sys/stat.h>
#include <thread>

namespace
{

const QString kData = QStringLiteral(WEBGLEANER_TEST_DATA "/caches/indexdat");
const QString kSmallFolder = kData + QStringLiteral("/small/Content.IE5");

// Where the entries of small/ lie in its index.dat (table 0x4000), from the platform's listing.
constexpr qint64 kDotSlot = 0x4000 + 16 + 322 * 8;
constexpr qint64 kDotRecord = 0x5100;
constexpr qint64 kDirSlot = 0x4000 + 16 + 364 * 8;
constexpr qint64 kStyleViaUrlmonRecord = 0x5f80;
const QString kDotUrl = QStringLiteral("http://example.test/img/dot.gif");

struct ListedEntry
{
    QString url;
    QString localFile; // relative to the folder of index.dat
    qint64 size = 0;
    QDateTime lastAccess;
};

QString indexFileOf(const QString& fixture)
{
    return kData + QLatin1Char('/') + fixture +
           (fixture == QLatin1String("small") ? QStringLiteral("/Content.IE5/index.dat")
                                              : QStringLiteral("/index.dat"));
}

QDateTime fromFileTime(quint64 ticks)
{
    return QDateTime(QDate(1601, 1, 1), QTime(0, 0), Qt::UTC).addMSecs(qint64(ticks / 10'000));
}

QList<ListedEntry> readListing(const QString& name)
{
    QFile file(kData + QLatin1Char('/') + name + QStringLiteral("/listing.txt"));
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << name.toStdString();
    QList<ListedEntry> entries;
    for (const QByteArray& line : file.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split('\t');
        if (line.startsWith('#') || fields.size() != 4)
            continue;
        entries.append({QString::fromUtf8(fields[0]), QString::fromUtf8(fields[1]), fields[2].toLongLong(),
                        fromFileTime(fields[3].toULongLong(nullptr, 16))});
    }
    return entries;
}

bool blockInUse(const QByteArray& index, qint64 offset)
{
    const qint64 block = (offset - 0x4000) / 0x80;
    return quint8(index[0x250 + block / 8]) & (1u << (block % 8));
}

// small/'s cache folder with the index.dat of another fixture if need be, and local files made to match a
// listing for an index whose own files were not kept.
class IndexDatCopy : public CacheCopy
{
public:
    explicit IndexDatCopy(const QString& indexFile = kSmallFolder + QStringLiteral("/index.dat"))
        : CacheCopy(kSmallFolder)
    {
        setIndex(fileBytes(indexFile));
    }

    void makeLocalFiles(const QList<ListedEntry>& entries) const
    {
        for (const ListedEntry& entry : entries)
            write(entry.localFile, QByteArray(entry.size, 'x'));
    }

    QString indexPath() const { return file(QStringLiteral("index.dat")); }
    QByteArray index() const { return fileBytes(indexPath()); }
    void setIndex(const QByteArray& bytes) const { write(QStringLiteral("index.dat"), bytes); }
};

void expectListedEntry(const CacheEntry& entry, const ListedEntry& listed, const QString& folder)
{
    SCOPED_TRACE(listed.url.toStdString());
    EXPECT_EQ(entry.url, listed.url);
    EXPECT_EQ(entry.body.file, folder + QLatin1Char('/') + listed.localFile);
    EXPECT_EQ(entry.localName, QFileInfo(listed.localFile).fileName());
    EXPECT_EQ(entry.size, listed.size);
    EXPECT_EQ(entry.lastAccess, listed.lastAccess);
    EXPECT_EQ(entry.lastAccess.timeSpec(), Qt::UTC);
    EXPECT_EQ(entry.sourceFolder, folder);
    EXPECT_EQ(entry.body.offset, 0);
    EXPECT_EQ(entry.body.length, listed.size);
    EXPECT_EQ(entry.body.contentEncoding, QString());
}

class IndexDatCacheTest : public ::testing::Test
{
protected:
};

TEST_F(IndexDatCacheTest, WalkGivesThePlatformsEntriesInItsOrder)
{
    const struct
    {
        const char* name;
        bool localFilesKept;
    } cases[] = {
        {"small", true},
        // dot[0].gif is still on disk and its record still in the freed blocks; neither may bring it back.
        {"deleted", true},
        {"many", false},
    };
    for (const auto& fixture : cases) {
        SCOPED_TRACE(fixture.name);
        const QString name = QString::fromLatin1(fixture.name);
        const IndexDatCopy copy(indexFileOf(name));
        const QList<ListedEntry> listed = readListing(name);
        if (!fixture.localFilesKept)
            copy.makeLocalFiles(listed);
        IndexDatCache cache(copy.path());

        const std::vector<CacheEntry> entries = walk(cache);
        ASSERT_EQ(urlsOf(entries), urlsOf(listed));
        for (qsizetype i = 0; i < listed.size(); ++i)
            expectListedEntry(entries[i], listed[i], copy.path());
    }
}

TEST_F(IndexDatCacheTest, TakesContentTypeFromTheStoredHeadAndBodyFromTheLocalFile)
{
    const struct
    {
        const char* url;
        const char* contentType;
        QByteArray start;
    } cases[] = {
        {"http://example.test/gbk.html", "text/html; charset=GBK", "<html>"},
        {"http://127.0.0.1:18434/gbk.html", "text/html; charset=GBK", "<!DOCTYPE"},
        {"http://127.0.0.1:18434/css/style.css", "text/css", "/* main"},
        {"https://secure.example.test/a.js?x=1&y=2", "application/javascript", ""},
        {"http://example.test/img/dot.gif", "image/gif", "GIF89a"},
        // Heads of a bare status line, and entries committed with no head at all.
        {"http://127.0.0.1:18434/img/logo.gif", "", "GIF89a"},
        {"http://127.0.0.1:18434/css/style.css?via=urlmon", "", "/* main"},
        {"http://example.test/dir/", "", ""},
        {"ftp://files.example.test/readme.txt", "", ""},
    };
    IndexDatCache cache(kSmallFolder);
    for (const auto& expected : cases) {
        SCOPED_TRACE(expected.url);
        const std::optional<CacheEntry> entry = cache.lookup(QString::fromLatin1(expected.url));
        ASSERT_TRUE(entry.has_value());
        EXPECT_EQ(entry->contentType, QString::fromLatin1(expected.contentType));
        // The platform's file is the body, under its own name.
        const std::optional<QByteArray> body = bodyOf(*entry);
        ASSERT_TRUE(body);
        EXPECT_TRUE(body->startsWith(expected.start));
        EXPECT_EQ(body->size(), entry->size);
        EXPECT_EQ(entry->localName, QFileInfo(entry->body.file).fileName());
    }
}

TEST_F(IndexDatCacheTest, LookupIsByteExact)
{
    IndexDatCache cache(kSmallFolder);
    for (const ListedEntry& listed : readListing(QStringLiteral("small"))) {
        const std::optional<CacheEntry> entry = cache.lookup(listed.url);
        ASSERT_TRUE(entry.has_value()) << listed.url.toStdString();
        expectListedEntry(*entry, listed, kSmallFolder);
    }
    const QString misses[] = {
        QStringLiteral("http://example.test/GBK.html"),
        QStringLiteral("http://example.test/dir"),
        QStringLiteral("http://example.test/upper.css"),
        QStringLiteral("http://EXAMPLE.TEST/UPPER.CSS"),
        QStringLiteral("http://example.test/gbk.html "),
        QStringLiteral("https://secure.example.test/a.js?x=1"),
        QStringLiteral("http://example.test/long/"),
        QStringLiteral("Visited: root@http://example.test/gbk.html"),
        QString(),
    };
    for (const QString& url : misses)
        EXPECT_FALSE(cache.lookup(url).has_value()) << url.toStdString();
}

TEST_F(IndexDatCacheTest, LookupMissesWhatIsGoneOrUnusable)
{
    const IndexDatCopy copy(kData + QStringLiteral("/deleted/index.dat"));
    IndexDatCache cache(copy.path());
    // The record is still in the freed blocks and its file still on disk.
    ASSERT_TRUE(QFile::exists(copy.path() + QStringLiteral("/R9YAG6GY/dot[0].gif")));
    EXPECT_FALSE(cache.lookup(kDotUrl).has_value());

    const QString big = QStringLiteral("http://example.test/big.bin");
    ASSERT_TRUE(cache.lookup(big).has_value());
    ASSERT_TRUE(QFile::remove(copy.path() + QStringLiteral("/N1KXDMLD/big[0].bin")));
    EXPECT_FALSE(cache.lookup(big).has_value()) << "cleaned from the disk by other means";
    copy.write(QStringLiteral("N1KXDMLD/big[0].bin"), QByteArray(4999, 'x'));
    EXPECT_FALSE(cache.lookup(big).has_value()) << "a file of another size is not the one recorded";
}

TEST_F(IndexDatCacheTest, LookupFindsAnEntryOutsideItsHashBucket)
{
    // As if another variant of the hash had placed it: the slot moves to a free one of another bucket.
    const IndexDatCopy copy;
    QByteArray index = copy.index();
    const qint64 freeSlot = 0x4000 + 16 + 0 * 8;
    ASSERT_EQ(u32At(index, freeSlot), 3u);
    patchU32(index, freeSlot, u32At(index, kDirSlot));
    patchU32(index, freeSlot + 4, u32At(index, kDirSlot + 4));
    patchU32(index, kDirSlot, 3);
    patchU32(index, kDirSlot + 4, 3);
    copy.setIndex(index);

    IndexDatCache cache(copy.path());
    const std::optional<CacheEntry> entry = cache.lookup(QStringLiteral("http://example.test/dir/"));
    ASSERT_TRUE(entry.has_value());
    EXPECT_EQ(entry->body.file, copy.path() + QStringLiteral("/N1KXDMLD/2V1YDMLD.htm"));
    EXPECT_EQ(urlsOf(walk(cache)).first(), QStringLiteral("http://example.test/dir/")) << "slot order";
}

TEST_F(IndexDatCacheTest, UrlHashLeadsToTheSlotOfEveryEntry)
{
    int checked = 0;
    for (const char* name : {"small", "many"}) {
        std::optional<IndexDatFile> file = IndexDatFile::parse(fileBytes(indexFileOf(QLatin1String(name))));
        ASSERT_TRUE(file.has_value());
        for (const IndexDatFile::HashTable& table : file->hashTables()) {
            for (qint64 slot = 0; slot < table.slotCount; ++slot) {
                const std::optional<IndexDatUrlRecord> record =
                    file->urlRecordAt(IndexDatFile::slotOffset(table, slot));
                if (!record)
                    continue;
                const quint32 hash = IndexDatUrlHash::of(record->url);
                const quint32 key = u32At(file->bytes(), IndexDatFile::slotOffset(table, slot));
                EXPECT_EQ(hash >> 6, key >> 6) << record->url.toByteArray().toStdString();
                EXPECT_EQ(hash % 64, slot / 7) << record->url.toByteArray().toStdString();
                ++checked;
            }
        }
        EXPECT_EQ(file->hashTables().size(), QLatin1String(name) == QLatin1String("many") ? 3 : 1);
    }
    EXPECT_EQ(checked, 13 + 612);
}

TEST_F(IndexDatCacheTest, HashTableChainEndsAtATableThatCannotBeRight)
{
    // many/index.dat chains 0x4000 -> 0xE580 -> 0x26D80.
    const struct
    {
        const char* name;
        const char* fixture;
        std::function<void(QByteArray& index)> change;
        qsizetype tables;
    } cases[] = {
        {"Unchanged", "many", [](QByteArray&) {}, 3},
        {"LastLeadsBackToTheFirst", "many", [](QByteArray& index) { patchU32(index, 0x26D80 + 8, 0x4000); }, 3},
        {"SecondOutOfSequence", "many", [](QByteArray& index) { patchU32(index, 0xE580 + 12, 5); }, 1},
        {"SecondInsideTheFirst", "small",
         [](QByteArray& index) {
             index.replace(0x4080, 16,
                           QByteArray::fromHex("48415348"
                                               "20000000"
                                               "00000000"
                                               "01000000"));
             patchU32(index, 0x4008, 0x4080);
         },
         1},
    };
    for (const auto& chain : cases) {
        SCOPED_TRACE(chain.name);
        QByteArray index = fileBytes(indexFileOf(QLatin1String(chain.fixture)));
        chain.change(index);
        const std::optional<IndexDatFile> file = IndexDatFile::parse(index);
        ASSERT_TRUE(file.has_value());
        EXPECT_EQ(file->hashTables().size(), chain.tables);
    }
}

TEST_F(IndexDatCacheTest, RemoveChangesTheFileAsThePlatformDoes)
{
    const IndexDatCopy copy;
    IndexDatCache cache(copy.path());
    ASSERT_TRUE(cache.lookup(kDotUrl).has_value()); // so that a stale copy of the index would show
    removeUrl(cache, kDotUrl);

    const QByteArray index = copy.index();
    // The platform's own deletion of the same entry left exactly these bytes.
    EXPECT_TRUE(index == fileBytes(kData + QStringLiteral("/deleted/index.dat")));
    EXPECT_EQ(u32At(index, kDotSlot), 1u);
    EXPECT_EQ(u32At(index, kDotSlot + 4), kDotRecord);
    EXPECT_FALSE(blockInUse(index, kDotRecord));
    EXPECT_FALSE(blockInUse(index, kDotRecord + 0x80));
    EXPECT_TRUE(blockInUse(index, kDotRecord + 0x100));
    EXPECT_EQ(u32At(index, 0x28), 63u);     // blocks in use
    EXPECT_EQ(u64At(index, 0x38), 51167u);  // bytes in use
    EXPECT_EQ(u32At(index, 0x4C + 36), 0u); // files in R9YAG6GY
    EXPECT_FALSE(QFile::exists(copy.path() + QStringLiteral("/R9YAG6GY/dot[0].gif")));

    EXPECT_FALSE(cache.lookup(kDotUrl).has_value());
    IndexDatCache reopened(copy.path());
    EXPECT_EQ(urlsOf(walk(reopened)), urlsOf(readListing(QStringLiteral("deleted"))));

    removeUrl(cache, kDotUrl); // gone already
    removeUrl(cache, QStringLiteral("http://example.test/nothing.gif"));
    EXPECT_TRUE(copy.index() == index);
}

TEST_F(IndexDatCacheTest, RemoveCountsStickyEntriesApart)
{
    const IndexDatCopy copy;
    const QByteArray before = copy.index();
    IndexDatCache cache(copy.path());
    removeUrl(cache, QStringLiteral("https://secure.example.test/a.js?x=1&y=2"));

    const QByteArray after = copy.index();
    EXPECT_EQ(u64At(after, 0x38), u64At(before, 0x38));
    EXPECT_EQ(u64At(after, 0x40), u64At(before, 0x40) - 8); // bytes in use by sticky entries
    EXPECT_EQ(u32At(after, 0x4C + 12), u32At(before, 0x4C + 12) - 1);
    EXPECT_FALSE(QFile::exists(copy.path() + QStringLiteral("/JT6KA3PR/a[0].js")));
    EXPECT_EQ(walk(cache).size(), 12u);
}

TEST_F(IndexDatCacheTest, RemoveWorksAcrossTheHashTables)
{
    const IndexDatCopy copy(kData + QStringLiteral("/many/index.dat"));
    QList<ListedEntry> listed = readListing(QStringLiteral("many"));
    copy.makeLocalFiles(listed);
    IndexDatCache cache(copy.path());
    const std::vector<CacheEntry> entries = walk(cache);
    ASSERT_EQ(entries.size(), 612u);

    const QByteArray before = copy.index();
    // The first, one from each table and the last in the platform's order.
    QList<qsizetype> removed = {0, 300, 445, 500, 611};
    for (auto at = removed.crbegin(); at != removed.crend(); ++at) {
        removeUrl(cache, listed[*at].url);
        EXPECT_FALSE(cache.lookup(listed[*at].url).has_value());
        EXPECT_FALSE(QFile::exists(entries[*at].body.file));
        listed.removeAt(*at);
    }
    const QByteArray after = copy.index();
    EXPECT_EQ(after.size(), before.size());
    EXPECT_EQ(u32At(after, 0x28), u32At(before, 0x28) - 5 * 2);
    EXPECT_EQ(u64At(after, 0x38), u64At(before, 0x38) - 7 - 8 - 8 - 8 - 8);

    IndexDatCache reopened(copy.path());
    EXPECT_EQ(urlsOf(walk(reopened)), urlsOf(listed));
}

TEST_F(IndexDatCacheTest, RemoveLeavesEntriesItMustNotTouch)
{
    const struct
    {
        const char* name;
        std::function<void(QByteArray& index)> change;
    } cases[] = {
        // A program held the file when the cache was last written to.
        {"InUse", [](QByteArray& index) { patchU32(index, kDotRecord + 88, 1); }},
        // A header that disagrees with the file is not one to edit in place.
        {"FileSizeFieldWrong", [](QByteArray& index) { patchU32(index, 0x1C, 0x9000); }},
        {"CapacityPastTheFile", [](QByteArray& index) { patchU32(index, 0x24, 0x200); }},
    };
    for (const auto& variant : cases) {
        SCOPED_TRACE(variant.name);
        const IndexDatCopy copy;
        QByteArray index = copy.index();
        variant.change(index);
        copy.setIndex(index);
        IndexDatCache cache(copy.path());
        removeUrl(cache, kDotUrl);
        EXPECT_TRUE(copy.index() == index);
        EXPECT_TRUE(QFile::exists(copy.path() + QStringLiteral("/R9YAG6GY/dot[0].gif")));
    }
}

TEST_F(IndexDatCacheTest, RemoveEntryDeletesExactlyItsRecordWhileItsFileIsTheOneWalked)
{
    const IndexDatCopy copy;
    IndexDatCache cache(copy.path());
    const qsizetype walked = walk(cache).size();
    const std::optional<CacheEntry> dot = cache.lookup(kDotUrl);
    const std::optional<CacheEntry> gbk = cache.lookup(QStringLiteral("http://example.test/gbk.html"));
    ASSERT_TRUE(dot && gbk);
    ASSERT_NE(dot->entryKey, gbk->entryKey);

    // Another record is not this entry, though it is in the same file.
    CacheEntry elsewhere = *dot;
    elsewhere.entryKey = gbk->entryKey;
    EXPECT_EQ(cache.removeEntry(elsewhere), UrlCache::RemoveOutcome::Gone);
    // A body file written again since the walk belongs to another download of the URL.
    QFile body(gbk->body.file);
    ASSERT_TRUE(body.open(QIODevice::ReadWrite));
    ASSERT_TRUE(body.setFileTime(QDateTime::currentDateTimeUtc().addSecs(5), QFileDevice::FileModificationTime));
    EXPECT_EQ(cache.removeEntry(*gbk), UrlCache::RemoveOutcome::Gone);
    EXPECT_TRUE(QFile::exists(gbk->body.file));
    EXPECT_EQ(walk(cache).size(), size_t(walked));

    EXPECT_EQ(cache.removeEntry(*dot), UrlCache::RemoveOutcome::Removed);
    EXPECT_FALSE(QFile::exists(dot->body.file));
    EXPECT_FALSE(cache.lookup(kDotUrl));
    EXPECT_EQ(walk(cache).size(), size_t(walked - 1));
    EXPECT_EQ(cache.removeEntry(*dot), UrlCache::RemoveOutcome::Gone);
}

TEST_F(IndexDatCacheTest, RecognisesFoldersHoldingAnIndexOfAKnownVersion)
{
    const IndexDatCopy copy;
    EXPECT_TRUE(IndexDatCache::recognises(kSmallFolder));
    EXPECT_TRUE(IndexDatCache::recognises(copy.path()));
    EXPECT_FALSE(IndexDatCache::recognises(kData));
    EXPECT_FALSE(IndexDatCache::recognises(copy.path() + QStringLiteral("/N1KXDMLD")));

    QByteArray index = copy.index();
    index.replace(0, 28, QByteArray("Client UrlCache MMF Ver 5.2", 28));
    copy.setIndex(index);
    EXPECT_TRUE(IndexDatCache::recognises(copy.path()));
    index.replace(0, 28, QByteArray("Client UrlCache MMF Ver 4.7", 28));
    copy.setIndex(index);
    EXPECT_FALSE(IndexDatCache::recognises(copy.path()));

    // Opening a FIFO would wait for a writer for ever.
    ASSERT_TRUE(QFile::remove(copy.indexPath()));
    ASSERT_EQ(::mkfifo(QFile::encodeName(copy.indexPath()).constData(), 0600), 0);
    EXPECT_FALSE(IndexDatCache::recognises(copy.path()));
    IndexDatCache cache(copy.path());
    EXPECT_TRUE(walk(cache).empty());
    EXPECT_FALSE(cache.lookup(kDotUrl).has_value());
    removeUrl(cache, kDotUrl);
}

TEST_F(IndexDatCacheTest, SeesTheFileChangeBetweenLookups)
{
    const IndexDatCopy copy;
    IndexDatCache cache(copy.path());
    ASSERT_TRUE(cache.lookup(kDotUrl).has_value());
    // Another program deletes the entry, as the platform did.
    copy.setIndex(fileBytes(kData + QStringLiteral("/deleted/index.dat")));
    EXPECT_FALSE(cache.lookup(kDotUrl).has_value());
    EXPECT_EQ(walk(cache).size(), 12u);
}

TEST_F(IndexDatCacheTest, ServesSeveralThreadsAtOnce)
{
    const IndexDatCopy copy(kData + QStringLiteral("/many/index.dat"));
    const QList<ListedEntry> listed = readListing(QStringLiteral("many"));
    copy.makeLocalFiles(listed);
    IndexDatCache cache(copy.path());

    std::vector<std::thread> threads;
    for (int reader = 0; reader < 2; ++reader) {
        threads.emplace_back([&] {
            for (int round = 0; round < 3; ++round) {
                EXPECT_LE(walk(cache).size(), 612u);
                for (const ListedEntry& entry : listed.mid(300, 100))
                    cache.lookup(entry.url);
            }
        });
    }
    threads.emplace_back([&] {
        for (const ListedEntry& entry : listed.mid(0, 30))
            removeUrl(cache, entry.url);
    });
    for (std::thread& thread : threads)
        thread.join();

    const std::vector<CacheEntry> remaining = walk(cache);
    EXPECT_EQ(remaining.size(), 582u);
    IndexDatCache reopened(copy.path());
    EXPECT_EQ(urlsOf(walk(reopened)), urlsOf(listed.mid(30)));
}

// One change to small's index.dat; the reader must neither crash nor read out of bounds, and must keep
// what the change leaves intact.
struct Damage
{
    const char* name;
    std::function<void(QByteArray& index)> apply;
    int entries; // what the walk still offers, of 13
};

void PrintTo(const Damage& damage, std::ostream* out)
{
    *out << damage.name;
}

void setBlockInUse(QByteArray& index, qint64 offset, bool inUse)
{
    const qint64 block = (offset - 0x4000) / 0x80;
    const char bit = char(1u << (block % 8));
    index[0x250 + block / 8] = inUse ? char(index[0x250 + block / 8] | bit) : char(index[0x250 + block / 8] & ~bit);
}

std::function<void(QByteArray&)> truncatedTo(qsizetype size)
{
    return [size](QByteArray& index) { index.truncate(size); };
}

std::function<void(QByteArray&)> u32Set(qint64 offset, quint32 value)
{
    return [offset, value](QByteArray& index) { patchU32(index, offset, value); };
}

std::function<void(QByteArray&)> bytesSet(qint64 offset, QByteArray bytes)
{
    return [offset, bytes](QByteArray& index) { index.replace(offset, bytes.size(), bytes); };
}

// clang-format off
const Damage kDamages[] = {
    {"TruncatedToNothing",         truncatedTo(0), 0},
    {"TruncatedInTheSignature",    truncatedTo(20), 0},
    {"TruncatedInTheBitmap",       truncatedTo(0x3000), 0},
    {"TruncatedAfterTheHeader",    truncatedTo(0x4000), 0},
    {"TruncatedInTheHashTable",    truncatedTo(0x4800), 0},
    {"TruncatedBeforeTheRecords",  truncatedTo(0x5000), 0},
    {"TruncatedInTheRecords",      truncatedTo(0x5400), 4},
    {"NativeSignature",            bytesSet(0, QByteArray("Client UrlCache MMF Ver 5.2", 28)), 13},
    {"OlderVersion",               bytesSet(0, QByteArray("Client UrlCache MMF Ver 4.7", 28)), 0},
    {"SignatureNotEnded",          bytesSet(27, "X"), 0},
    {"FirstTableMisaligned",       u32Set(0x20, 0x4001), 0},
    {"FirstTableInTheHeader",      u32Set(0x20, 0x2000), 0},
    {"FirstTableBeyondTheFile",    u32Set(0x20, 0xFFFFF000), 0},
    {"FirstTableIsAUrlRecord",     u32Set(0x20, 0x5000), 0},
    {"TableChainLoopsToItself",    u32Set(0x4008, 0x4000), 13},
    {"TableOutOfSequence",         u32Set(0x400C, 1), 0},
    {"TableBlockCountHuge",        u32Set(0x4004, 0xFFFFFFFF), 0},
    {"TableBlockCountZero",        u32Set(0x4004, 0), 0},
    {"TableUnallocated",           [](QByteArray& index) { setBlockInUse(index, 0x4000, false); }, 0},
    {"CapacityHuge",               u32Set(0x24, 0xFFFFFFFF), 13},
    {"CapacityZero",               u32Set(0x24, 0), 0},
    {"FolderCountHuge",            u32Set(0x48, 33), 0},
    {"SlotOffsetBeyondTheFile",    u32Set(kDotSlot + 4, 0x7FFFFF80), 12},
    {"SlotOffsetAtTheLastByte",    u32Set(kDotSlot + 4, 0x7FFF), 12},
    {"SlotOffsetMisaligned",       u32Set(kDotSlot + 4, kDotRecord + 1), 12},
    {"SlotOffsetInTheHeader",      u32Set(kDotSlot + 4, 0x100), 12},
    {"SlotOffsetAtTheHashTable",   u32Set(kDotSlot + 4, 0x4000), 12},
    {"SlotAtFreedBlocks",          [](QByteArray& index) { setBlockInUse(index, kDotRecord + 0x80, false); }, 12},
    {"SlotMarkedDeleted",          u32Set(kDotSlot, 1), 12},
    {"SlotMarkedRedirect",         u32Set(kDotSlot, 0x90a2ff45), 12},
    {"SlotUninitialized",          u32Set(kDotSlot, 0xDEADBEEF), 12},
    {"SlotsLeadingToOneRecord",    u32Set(kDirSlot + 4, kDotRecord), 12},
    {"RecordBlockCountZero",       u32Set(kDotRecord + 4, 0), 12},
    {"RecordBlockCountHuge",       u32Set(kDotRecord + 4, 0xFFFFFFFF), 12},
    {"RecordRunsPastTheFile",      u32Set(kStyleViaUrlmonRecord + 4, 0x100), 12},
    {"RecordOfAnotherKind",        bytesSet(kDotRecord, "LEAK"), 12},
    {"UrlOffsetHuge",              u32Set(kDotRecord + 52, 0xFFFFFFF0), 12},
    {"UrlOffsetInTheFixedFields",  u32Set(kDotRecord + 52, 0x10), 12},
    {"UrlOffsetAtTheRecordEnd",    u32Set(kDotRecord + 52, 0x100), 12},
    {"UrlNotEnded",                bytesSet(kDotRecord + 0x68, QByteArray(0x100 - 0x68, 'a')), 12},
    {"UrlEmpty",                   bytesSet(kDotRecord + 0x68, QByteArray(1, '\0')), 12},
    {"LocalNameOffsetHuge",        u32Set(kDotRecord + 60, 0x7FFFFFFF), 12},
    {"LocalNameMissing",           u32Set(kDotRecord + 60, 0), 12},
    {"LocalNameClimbsOut",         bytesSet(kDotRecord + 0x88, QByteArray("..", 3)), 12},
    {"LocalNameHasASeparator",     bytesSet(kDotRecord + 0x88, QByteArray("a/b", 4)), 12},
    {"HeadOffsetHuge",             u32Set(kDotRecord + 68, 0xFFFFFF00), 12},
    {"HeadRunsPastTheRecord",      u32Set(kDotRecord + 72, 0xFFFFFFFF), 12},
    {"ExtensionOffsetHuge",        u32Set(kDotRecord + 76, 0x80000000), 12},
    {"HeadSaysNotFound",           bytesSet(kDotRecord + 0x94, "HTTP/1.1 404 No"), 12},
    {"CacheFolderOutOfRange",      bytesSet(kDotRecord + 56, "\x04"), 12},
    {"CacheFolderNameClimbsOut",   bytesSet(0x4C + 3 * 12 + 4, QByteArray("..\0\0\0\0\0\0", 8)), 12},
    {"SizeHighWordSet",            u32Set(kDotRecord + 36, 1), 12},
    {"SizeNegative",               u32Set(kDotRecord + 36, 0x80000000), 12},
    {"CookieEntry",                u32Set(kDotRecord + 64, 0x100001), 12},
    {"PartialEntry",               u32Set(kDotRecord + 64, 0x10001), 12},
};
// clang-format on

class IndexDatDamageTest : public ::testing::TestWithParam<Damage>
{};

TEST_P(IndexDatDamageTest, SkipsWhatIsDamagedAndNothingElse)
{
    const IndexDatCopy copy;
    QByteArray index = copy.index();
    GetParam().apply(index);
    copy.setIndex(index);

    IndexDatCache cache(copy.path());
    const std::vector<CacheEntry> entries = walk(cache);
    EXPECT_EQ(int(entries.size()), GetParam().entries);
    for (const CacheEntry& entry : entries) {
        EXPECT_TRUE(entry.body.file.startsWith(copy.path() + QLatin1Char('/')));
        EXPECT_TRUE(bodyOf(entry));
    }
    for (const ListedEntry& listed : readListing(QStringLiteral("small"))) {
        if (const std::optional<CacheEntry> entry = cache.lookup(listed.url)) {
            EXPECT_EQ(entry->url, listed.url);
        }
    }
    // Removing from a damaged file must neither grow it nor write where its checks did not reach.
    const QString gbk = QStringLiteral("http://example.test/gbk.html");
    removeUrl(cache, kDotUrl);
    removeUrl(cache, gbk);
    EXPECT_EQ(copy.index().size(), index.size());
    // Either the file was fit to edit and the entries are gone, or it was left as it was.
    EXPECT_TRUE((!cache.lookup(kDotUrl) && !cache.lookup(gbk)) || copy.index() == index);
}

INSTANTIATE_TEST_SUITE_P(Damages, IndexDatDamageTest, ::testing::ValuesIn(kDamages),
                         [](const ::testing::TestParamInfo<Damage>& row) { return std::string(row.param.name); });

} // namespace
