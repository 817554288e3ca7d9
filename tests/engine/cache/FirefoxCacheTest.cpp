#include "engine/cache/FirefoxCache.h"
#include "CacheCopy.h"
#include "CacheTestSupport.h"
#include "FirefoxEntryEditor.h"
#include "TestEncoder.h"
#include "engine/cache/EntryBody.h"
#include "engine/cache/FirefoxCacheKey.h"
#include "engine/cache/FirefoxEntryFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <functional>
#include <thread>

#include <gtest/gtest.h>
#include <sys/stat.h>

// The fixture is a cache2 folder written by firefox-esr 153 visiting a small local site. Its listing.txt was
// made from the browser's own view of the same cache, and the decoded sizes below from the files the site
// served.

namespace
{

const QString kFixture = QStringLiteral(WEBGLEANER_TEST_DATA "/caches/firefox-cache2");
const QString kSite = QStringLiteral("http://127.0.0.1:18432");

// One line of listing.txt: URL, stored size, Content-Type, Content-Encoding ("-" for none), last fetched
// (UTC), fetch count, status line, key prefix, entry file name; tab-separated.
struct ListedEntry
{
    QString url;
    qint64 storedSize = 0;
    QString contentType;
    QString contentEncoding;
    QDateTime lastFetched;
    quint32 fetchCount = 0;
    int status = 0;
    QByteArray keyPrefix;
    QString fileName;
};

QList<ListedEntry> readListing()
{
    QFile file(kFixture + QStringLiteral("/listing.txt"));
    EXPECT_TRUE(file.open(QIODevice::ReadOnly));
    QList<ListedEntry> listing;
    for (const QByteArray& line : file.readAll().split('\n')) {
        const QList<QByteArray> columns = line.split('\t');
        if (columns.size() != 9)
            continue;
        ListedEntry entry;
        entry.url = QString::fromUtf8(columns[0]);
        entry.storedSize = columns[1].toLongLong();
        entry.contentType = QString::fromUtf8(columns[2]);
        entry.contentEncoding = columns[3] == "-" ? QString() : QString::fromUtf8(columns[3]);
        entry.lastFetched = QDateTime::fromString(QString::fromUtf8(columns[4]), QStringLiteral("yyyy-MM-dd HH:mm:ss"));
        entry.lastFetched.setTimeSpec(Qt::UTC);
        entry.fetchCount = columns[5].toUInt();
        entry.status = columns[6].split(' ').value(1).toInt();
        entry.keyPrefix = columns[7];
        entry.fileName = QString::fromUtf8(columns[8]);
        listing.append(entry);
    }
    EXPECT_EQ(listing.size(), 40);
    return listing;
}

// The browser keeps a 206 only for a media element's "bytes=0-" request, whose range is the whole file.
bool isUsable(const ListedEntry& listed)
{
    return listed.status == 200 || listed.status == 206;
}

class FirefoxCacheTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(copy_.isComplete()); }

    static QString entryName(const QString& fileName) { return QStringLiteral("entries/") + fileName; }
    QString entryPath(const QString& fileName) const { return copy_.file(entryName(fileName)); }

    // Every entry of a walk, by the name of its entry file, in walk order.
    static QList<QPair<QString, CacheEntry>> walkByFileName(UrlCache& cache)
    {
        QList<QPair<QString, CacheEntry>> entries;
        for (CacheEntry& entry : walk(cache))
            entries.append({QFileInfo(entry.body.file).fileName(), std::move(entry)});
        return entries;
    }

    static QHash<QString, CacheEntry> entriesByFileName(UrlCache& cache)
    {
        QHash<QString, CacheEntry> byFileName;
        for (const auto& [fileName, entry] : walkByFileName(cache))
            byFileName.insert(fileName, entry);
        return byFileName;
    }

    static QStringList usableFileNames()
    {
        QStringList names;
        for (const ListedEntry& listed : readListing()) {
            if (isUsable(listed))
                names.append(listed.fileName);
        }
        names.sort();
        return names;
    }

    const CacheCopy copy_{kFixture, QStringLiteral("cache2")};
    const QString cacheFolder_ = copy_.path();
};

TEST_F(FirefoxCacheTest, ListsEachWhole2xxResponseAsTheBrowserRecordedIt)
{
    FirefoxCache cache(cacheFolder_);
    const QList<QPair<QString, CacheEntry>> walked = walkByFileName(cache);
    QHash<QString, CacheEntry> byFileName;
    QStringList walkOrder;
    for (const auto& [fileName, entry] : walked) {
        byFileName.insert(fileName, entry);
        walkOrder.append(fileName);
    }

    for (const ListedEntry& listed : readListing()) {
        SCOPED_TRACE(listed.fileName.toStdString());
        const auto found = byFileName.constFind(listed.fileName);
        if (!isUsable(listed)) {
            EXPECT_EQ(found, byFileName.constEnd()) << "a cached error page is not an entry";
            continue;
        }
        ASSERT_NE(found, byFileName.constEnd());
        EXPECT_EQ(found->url, listed.url);
        EXPECT_EQ(found->contentType, listed.contentType);
        EXPECT_EQ(found->lastAccess, listed.lastFetched);
        EXPECT_EQ(found->sourceFolder, cacheFolder_);
        EXPECT_EQ(found->body.file, entryPath(listed.fileName));
        EXPECT_EQ(found->body.offset, 0);
        EXPECT_EQ(found->body.length, listed.storedSize);
        EXPECT_EQ(found->body.contentEncoding, listed.contentEncoding);
        EXPECT_EQ(found->entryKey, listed.fileName);
        EXPECT_TRUE(found->body.stamp);
    }
    EXPECT_EQ(walkOrder, usableFileNames()) << "each usable entry once, in file name order";
}

TEST_F(FirefoxCacheTest, GivesDecodedSizesAndTheOriginalBytes)
{
    struct DecodedBody
    {
        const char* fileName;
        qint64 size;
        QByteArray magic;
        const char* localName;
    };
    const DecodedBody bodies[] = {
        {"15563ACEAA8E6EFD131C40202C49C10E2EC67E51", 1770, "<HTML>", "upper[1].html"},     // gzip
        {"4F7FC5BA43A68325BDEABF850BD1D2437567B0BC", 152, "{\"name\":", "info[1].json"},   // gzip
        {"3DDC2E426944CD711FBDA2771F861E543A48A743", 2091, "// appli", "app[1].js"},       // br
        {"BA87738CCFD8F1CD2470BFC3D1EBBD977AA91E4E", 441, "<!DOCTYPE", nullptr},           // br
        {"55DCD383E474A5EEEC4CD55B3E654852EAF538D1", 1015, "/* print", "print[1].css"},    // zstd
        {"7CA40BCE2290F80E3D6ABD557889E85F1F96FD5E", 659, "\xE7\xAC\xAC", "notes[1].txt"}, // deflate
        {"7262938F541B3364A6F82D27F64794E4EF1DAAF9", 67255, "// Gener", "big[1].js"},      // compiled code after it
        {"F9554DC7C7F6F772FC0B22B89A0E0FA4BCC81612", 1064402, "\xFF\xD8\xFF\xE0", "photo-big[1].jpg"},
        {"9552959BBB6F2B84D1BB5B204405084F6FC75D2E", 220544, "RIFF", "tone[1].wav"},
        {"E9CAF90D1DCD2E523FA16B2062840AD1DADFAE72", 1077, "\x89PNG\r\n", "图标[1].png"},
        {"FA9EFC922A2DE7A3AFD898EF21DBA040152E28F5", 268, "<!DOCTYPE", "gbk[1].html"},
    };
    FirefoxCache cache(cacheFolder_);
    const QHash<QString, CacheEntry> entries = entriesByFileName(cache);
    for (const DecodedBody& expected : bodies) {
        SCOPED_TRACE(expected.fileName);
        const auto entry = entries.constFind(QString::fromLatin1(expected.fileName));
        ASSERT_NE(entry, entries.constEnd());
        expectBody(*entry, expected.size, expected.magic);
        if (expected.localName) {
            EXPECT_EQ(entry->localName, QString::fromUtf8(expected.localName));
        }
    }
}

TEST_F(FirefoxCacheTest, LookupTakesTheMostRecentlyUsedPartition)
{
    const struct
    {
        const char* path;
        const char* fileName;
    } cases[] = {
        // Both partitions hold these; the one fetched last wins.
        {"/img/logo.gif", "28042847B3F5D8712CF13B69FC7AEA48DE920D8D"},
        {"/css/style.css", "2618EFA22ECCE16A492BD44C2EA755ECB7E8BC5A"},
        {"/img/photo.jpg", "FAD56E26122990979CAA6B81096E7E97CB598501"},
        {"/img/icon.png", "315DB20F89C749085CCCFFC8F6242A74357AA6C0"},
        // Only one entry each; an anonymous load and a query are part of what tells them apart.
        {"/img/logo.gif?cors=anonymous", "7CABD6DB2030B125B53FEE0A1F4CB0469D62F381"},
        {"/data/info.json?credentials=omit", "DAA3CA429408FC07D8F2E46D6B7167BB31EF8EFE"},
        {"/img/%E5%9B%BE%E6%A0%87.png", "E9CAF90D1DCD2E523FA16B2062840AD1DADFAE72"},
        {"/upper.html", "15563ACEAA8E6EFD131C40202C49C10E2EC67E51"},
    };
    FirefoxCache cache(cacheFolder_);
    const QHash<QString, CacheEntry> walked = entriesByFileName(cache);
    for (const auto& expected : cases) {
        SCOPED_TRACE(expected.path);
        const std::optional<CacheEntry> entry = cache.lookup(kSite + QString::fromUtf8(expected.path));
        ASSERT_TRUE(entry.has_value());
        EXPECT_EQ(entry->body.file, entryPath(QString::fromLatin1(expected.fileName)));
        const CacheEntry& same = walked.value(QString::fromLatin1(expected.fileName));
        EXPECT_EQ(entry->url, same.url);
        EXPECT_EQ(entry->size, same.size);
        EXPECT_EQ(entry->lastAccess, same.lastAccess);
        EXPECT_EQ(entry->entryKey, same.entryKey);
        EXPECT_EQ(entry->localName, same.localName);
    }
}

TEST_F(FirefoxCacheTest, LookupMissesWhatIsNoUsableEntry)
{
    const QString misses[] = {
        kSite + QStringLiteral("/favicon.ico"),      // 404 in both partitions
        kSite + QStringLiteral("/old.html"),         // a redirect, which the browser did not store
        kSite + QStringLiteral("/nostore.html"),     // no-store
        kSite + QStringLiteral("/img/图标.png"),     // the browser keys the percent-encoded form
        kSite + QStringLiteral("/img/logo.gif?v=1"), // not the same address
        QStringLiteral("HTTP://127.0.0.1:18432/upper.html"),
        QStringLiteral("O^partitionKey=%28http%2C127.0.0.1%29,:http://127.0.0.1:18432/upper.html"),
        QString(),
    };
    FirefoxCache cache(cacheFolder_);
    for (const QString& url : misses)
        EXPECT_FALSE(cache.lookup(url).has_value()) << url.toStdString();
}

TEST_F(FirefoxCacheTest, RemoveEntryDeletesExactlyThatPartitionsFile)
{
    const QString logo = kSite + QStringLiteral("/img/logo.gif");
    const QString older = QStringLiteral("1480CEA648E66CDB2A3FEDE0E36ACC4F6473F4F2");
    const QString newer = QStringLiteral("28042847B3F5D8712CF13B69FC7AEA48DE920D8D");
    FirefoxCache cache(cacheFolder_);
    const QHash<QString, CacheEntry> entries = entriesByFileName(cache);
    ASSERT_EQ(cache.lookup(logo)->entryKey, newer); // the index is built, and must follow

    EXPECT_EQ(cache.removeEntry(entries[newer]), UrlCache::RemoveOutcome::Removed);
    EXPECT_FALSE(QFile::exists(entryPath(newer)));
    EXPECT_TRUE(QFile::exists(entryPath(older)));
    EXPECT_EQ(cache.lookup(logo)->entryKey, older);
    EXPECT_EQ(cache.removeEntry(entries[newer]), UrlCache::RemoveOutcome::Gone);

    // Used again since the walk: the browser rewrote the file, which holds another entry now.
    copy_.edit(entryName(older), [](QByteArray&) {});
    QFile file(entryPath(older));
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    ASSERT_TRUE(file.setFileTime(QDateTime::currentDateTimeUtc().addSecs(5), QFileDevice::FileModificationTime));
    EXPECT_EQ(cache.removeEntry(entries[older]), UrlCache::RemoveOutcome::Gone);
    EXPECT_TRUE(QFile::exists(entryPath(older)));
    EXPECT_EQ(refusalOf(entries[older]), EntryBody::Refusal::Changed);
}

TEST_F(FirefoxCacheTest, LookupFallsBackWhenTheBrowserDroppedAFile)
{
    const QString logo = kSite + QStringLiteral("/img/logo.gif");
    FirefoxCache cache(cacheFolder_);
    ASSERT_TRUE(cache.lookup(logo).has_value());
    ASSERT_TRUE(QFile::remove(entryPath(QStringLiteral("28042847B3F5D8712CF13B69FC7AEA48DE920D8D"))));

    const std::optional<CacheEntry> older = cache.lookup(logo);
    ASSERT_TRUE(older.has_value());
    EXPECT_EQ(older->body.file, entryPath(QStringLiteral("1480CEA648E66CDB2A3FEDE0E36ACC4F6473F4F2")));

    ASSERT_TRUE(QFile::remove(older->body.file));
    EXPECT_FALSE(cache.lookup(logo).has_value());
}

TEST_F(FirefoxCacheTest, ReadsOnlyEntryFilesAndNeedsNoIndex)
{
    const QString upper = QStringLiteral("15563ACEAA8E6EFD131C40202C49C10E2EC67E51");
    ASSERT_TRUE(QFile::remove(cacheFolder_ + QStringLiteral("/index")));
    ASSERT_TRUE(QFile::remove(cacheFolder_ + QStringLiteral("/index.log")));
    // A deleted entry, a stray copy under a name its key does not hash to, things that are not entry files.
    ASSERT_TRUE(QDir().mkpath(cacheFolder_ + QStringLiteral("/doomed")));
    ASSERT_TRUE(QFile::copy(entryPath(upper), cacheFolder_ + QStringLiteral("/doomed/1")));
    ASSERT_TRUE(QFile::copy(entryPath(upper), entryPath(QStringLiteral("0000000000000000000000000000000000000000"))));
    ASSERT_TRUE(QFile::copy(entryPath(upper), entryPath(QStringLiteral("upper.html"))));
    ASSERT_TRUE(QFile::link(entryPath(upper), entryPath(QStringLiteral("1111111111111111111111111111111111111111"))));
    ASSERT_TRUE(QDir().mkpath(entryPath(QStringLiteral("2222222222222222222222222222222222222222"))));
    // Opening a FIFO would wait for a writer forever.
    ASSERT_EQ(::mkfifo(QFile::encodeName(entryPath(QStringLiteral("3333333333333333333333333333333333333333"))), 0600),
              0);

    FirefoxCache cache(cacheFolder_);
    QStringList listed = entriesByFileName(cache).keys();
    listed.sort();
    EXPECT_EQ(listed, usableFileNames());
    EXPECT_TRUE(cache.lookup(kSite + QStringLiteral("/upper.html")).has_value());
}

// The copy worker's threads look entries up while delete-after removes others.
TEST_F(FirefoxCacheTest, LookupsAndRemovalsFromSeveralThreads)
{
    QStringList urls;
    for (const ListedEntry& listed : readListing()) {
        if (isUsable(listed) && !urls.contains(listed.url))
            urls.append(listed.url);
    }
    ASSERT_GE(urls.size(), 4);
    FirefoxCache cache(cacheFolder_);

    lookUpWhileRemoving(cache, urls);
}

TEST(FirefoxEntryFileTest, ReadsTheFieldsTheBrowserReports)
{
    for (const ListedEntry& listed : readListing()) {
        SCOPED_TRACE(listed.fileName.toStdString());
        const std::optional<FirefoxEntryFile> file =
            FirefoxEntryFile::read(kFixture + QStringLiteral("/entries/") + listed.fileName);
        ASSERT_TRUE(file.has_value());
        EXPECT_EQ(file->key(), listed.keyPrefix + listed.url.toUtf8());
        EXPECT_EQ(file->fetchCount(), listed.fetchCount);
        EXPECT_EQ(QDateTime::fromSecsSinceEpoch(file->lastFetched(), Qt::UTC), listed.lastFetched);
        EXPECT_EQ(file->bodyLength(), listed.storedSize);
        EXPECT_TRUE(file->element("response-head").value_or(QByteArray()).startsWith("HTTP/1.1 "));
        EXPECT_FALSE(file->element("no-such-element").has_value());
    }
}

TEST(FirefoxCacheKeyTest, StripsTheTagsToTheUrl)
{
    const struct
    {
        QByteArray key;
        std::optional<QByteArray> url;
    } cases[] = {
        {"O^partitionKey=%28http%2C127.0.0.1%29,:http://127.0.0.1:18432/img/logo.gif",
         "http://127.0.0.1:18432/img/logo.gif"},
        {"O^partitionKey=%28http%2Clocalhost%29,a,:http://127.0.0.1:18432/img/logo.gif?cors=anonymous",
         "http://127.0.0.1:18432/img/logo.gif?cors=anonymous"},
        {"O^partitionKey=%28http%2C127.0.0.1%29,~1796865364,:http://127.0.0.1:18432/post/echo",
         "http://127.0.0.1:18432/post/echo"},
        {":http://x/", "http://x/"},
        {"a,:https://x:8080/a:b,c", "https://x:8080/a:b,c"},
        {"O^firstPartyDomain=a,,b:c,:http://x/", "http://x/"}, // a doubled comma is part of the value
        {"O^userContextId=5&partitionKey=%28https%2Cexample.com%29,a,p,:https://example.com/", "https://example.com/"},
        {"a,O^partitionKey=x,:http://x/", std::nullopt}, // tags out of order
        {"\x01,:http://x/", std::nullopt},               // tag outside 0x20..0x7F
        {"\xC3\xA9,:http://x/", std::nullopt},
        {"O^partitionKey=x", std::nullopt},  // no end of tag
        {"O^partitionKey=x,", std::nullopt}, // no ':'
        {"a,:", std::nullopt},               // no URL
        {"", std::nullopt},
    };
    for (const auto& expected : cases)
        EXPECT_EQ(FirefoxCacheKey::url(expected.key), expected.url) << expected.key.toStdString();
}

// One entry of the fixture changed in one way; the walk must go on past it.
struct EntryVariant
{
    const char* name;
    std::function<QByteArray(const QByteArray& original)> make;
    bool usable = false;
    // The browser names a file after its key; a variant with another key is stored under its own name.
    bool storedUnderItsKey = false;
};

void PrintTo(const EntryVariant& variant, std::ostream* out)
{
    *out << variant.name;
}

const QString kVariedEntry = QStringLiteral("15563ACEAA8E6EFD131C40202C49C10E2EC67E51");
const QString kVariedUrl = QStringLiteral("http://127.0.0.1:18432/upper.html");
const QByteArray kVariedHead = "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\n"
                               "Content-Encoding: gzip\r\nContent-Length: 224\r\n";

std::function<QByteArray(const QByteArray&)> edited(std::function<void(FirefoxEntryEditor&)> edit)
{
    return [edit](const QByteArray& original) {
        std::optional<FirefoxEntryEditor> editor = FirefoxEntryEditor::fromFile(original);
        EXPECT_TRUE(editor.has_value());
        edit(*editor);
        return editor->toFile();
    };
}

std::function<QByteArray(const QByteArray&)> truncatedTo(std::function<qsizetype(qsizetype)> length)
{
    return [length](const QByteArray& original) { return original.left(length(original.size())); };
}

// Changes bytes of the file, counted from its end, and puts a fresh metadata hash in unless told not to.
std::function<QByteArray(const QByteArray&)> patchedAtEnd(qsizetype fromEnd, QByteArray bytes, bool reseal = true)
{
    return [=](const QByteArray& original) {
        QByteArray file = original;
        file.replace(file.size() - fromEnd, bytes.size(), bytes);
        if (reseal)
            FirefoxEntryEditor::resealMetadata(file);
        return file;
    };
}

// Inverts one byte of the varied entry, whose 224-byte body is followed by the metadata block.
std::function<QByteArray(const QByteArray&)> flippedAt(qsizetype offset)
{
    return [offset](const QByteArray& original) {
        QByteArray file = original;
        file[offset] = char(~file[offset]);
        return file;
    };
}

std::function<QByteArray(const QByteArray&)> withHead(const QByteArray& head)
{
    return edited([head](FirefoxEntryEditor& editor) { editor.setElement("response-head", head); });
}

std::function<QByteArray(const QByteArray&)> withKey(const QByteArray& key)
{
    return edited([key](FirefoxEntryEditor& editor) { editor.setKey(key); });
}

const EntryVariant kVariants[] = {
    {"Unchanged", [](const QByteArray& original) { return original; }, true},
    // Torn files
    {"Empty", truncatedTo([](qsizetype) { return 0; })},
    {"OneByte", truncatedTo([](qsizetype) { return 1; })},
    {"FourBytes", truncatedTo([](qsizetype) { return 4; })},
    {"SevenBytes", truncatedTo([](qsizetype) { return 7; })},
    {"EightBytes", truncatedTo([](qsizetype) { return 8; })},
    {"FortyFourBytes", truncatedTo([](qsizetype) { return 44; })},
    {"BodyOnly", truncatedTo([](qsizetype) { return 224; })},
    {"Half", truncatedTo([](qsizetype size) { return size / 2; })},
    {"LastByteMissing", truncatedTo([](qsizetype size) { return size - 1; })},
    {"TrailerHalfMissing", truncatedTo([](qsizetype size) { return size - 4; })},
    {"TrailerMissing", truncatedTo([](qsizetype size) { return size - 8; })},
    // Trailers
    {"StillBeingWritten", patchedAtEnd(8, QByteArray(8, '\xFF'), false)},
    {"TrailerVersion3", patchedAtEnd(8, QByteArray("\0\0\0\3", 4), false)},
    {"TrailerVersion5", patchedAtEnd(8, QByteArray("\0\0\0\5", 4), false)},
    {"Encrypted", patchedAtEnd(4, QByteArray("\x80", 1), false)},
    {"DataSizePastTheEnd", patchedAtEnd(4, QByteArray("\x7F\xFF\xFF\xFF", 4))},
    {"DataSizeIsTheFileSize", patchedAtEnd(4, QByteArray("\0\0\x04\xC8", 4))},
    {"DataSizeZero", patchedAtEnd(4, QByteArray(4, '\0'))},
    {"DataSizeOneShort", patchedAtEnd(4, QByteArray("\0\0\0\xDF", 4))},
    {"DataSizeOneLong", patchedAtEnd(4, QByteArray("\0\0\0\xE1", 4))},
    // Metadata block
    {"MetadataHashWrong", flippedAt(224)},
    {"KeyChangedAfterHashing", flippedAt(224 + 4 + 2 + 32 + 40)},
    {"KeyNotItsFileName", withKey("O^partitionKey=%28http%2C127.0.0.1%29,:http://127.0.0.1:18432/Upper.html")},
    {"KeySizeHuge", edited([](FirefoxEntryEditor& editor) { editor.header[FirefoxEntryEditor::KeySize] = ~0u; })},
    {"KeySizeOneLong", edited([](FirefoxEntryEditor& editor) { ++editor.header[FirefoxEntryEditor::KeySize]; })},
    {"KeySizeOneShort", edited([](FirefoxEntryEditor& editor) { --editor.header[FirefoxEntryEditor::KeySize]; })},
    {"HeaderVersion0", edited([](FirefoxEntryEditor& editor) { editor.header[FirefoxEntryEditor::Version] = 0; })},
    {"HeaderVersion5", edited([](FirefoxEntryEditor& editor) { editor.header[FirefoxEntryEditor::Version] = 5; })},
    {"ElementsNotEndedByNul", patchedAtEnd(9, "\n")},
    {"NameWithoutValue",
     [](const QByteArray& original) {
         QByteArray file = QByteArray(original).insert(original.size() - 8, QByteArray("x-orphan\0", 9));
         FirefoxEntryEditor::resealMetadata(file);
         return file;
     }},
    {"ElementsOver64KiB", edited([](FirefoxEntryEditor& editor) { editor.setElement("x", QByteArray(65536, 'x')); })},
    {"AltDataPastTheData", edited([](FirefoxEntryEditor& editor) { editor.setElement("alt-data", "1;225,x/y"); })},
    {"AltDataVersion2", edited([](FirefoxEntryEditor& editor) { editor.setElement("alt-data", "2;100,x/y"); })},
    {"AltDataWithoutType", edited([](FirefoxEntryEditor& editor) { editor.setElement("alt-data", "1;100"); })},
    {"AltDataNegative", edited([](FirefoxEntryEditor& editor) { editor.setElement("alt-data", "1;-1,x/y"); })},
    // What the browser keeps besides whole successful responses
    {"NoResponseHead", edited([](FirefoxEntryEditor& editor) { editor.removeElement("response-head"); })},
    {"NoStatusLine", withHead("Content-Type: text/html\r\n")},
    {"NotFound", withHead("HTTP/1.1 404 Not Found\r\nContent-Encoding: gzip\r\nContent-Length: 224\r\n")},
    {"Redirect", withHead("HTTP/1.1 302 Found\r\nLocation: /\r\nContent-Encoding: gzip\r\nContent-Length: 224\r\n")},
    {"DownloadStopped", edited([](FirefoxEntryEditor& editor) { editor.data.truncate(100); })},
    {"ContentLengthNotANumber", withHead("HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: lots\r\n")},
    {"PartOfTheResource",
     withHead("HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-223/1000\r\nContent-Encoding: gzip\r\n")},
    {"RangeNotFromTheStart",
     withHead("HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 1-224/225\r\nContent-Encoding: gzip\r\n")},
    {"PartialWithoutRange", withHead("HTTP/1.1 206 Partial Content\r\nContent-Encoding: gzip\r\n")},
    {"NotHttp", withKey("O^partitionKey=%28http%2C127.0.0.1%29,:ftp://127.0.0.1:18432/upper.html"), false, true},
    {"PredictorRecord", withKey("predictor::http://127.0.0.1:18432/upper.html"), false, true},
    {"KeyWithoutUrl", withKey("O^partitionKey=%28http%2C127.0.0.1%29,"), false, true},
    {"TagsOutOfOrder", withKey("a,O^partitionKey=%28http%2C127.0.0.1%29,:http://127.0.0.1:18432/upper.html"), false,
     true},
    // Variants that are still whole responses
    {"UnknownElement", edited([](FirefoxEntryEditor& editor) { editor.setElement("x-later", "1"); }), true},
    {"MetadataLargerThanOneRead",
     edited([](FirefoxEntryEditor& editor) { editor.setElement("x-later", QByteArray(40000, 'x')); }), true},
    {"OlderLayoutVersion3", edited([](FirefoxEntryEditor& editor) { editor.header[FirefoxEntryEditor::Version] = 3; }),
     true},
    {"OlderLayoutVersion1", edited([](FirefoxEntryEditor& editor) { editor.header[FirefoxEntryEditor::Version] = 1; }),
     true},
    {"WholeRange",
     withHead(QByteArray(kVariedHead).replace("200 OK", "206 Partial Content") + "Content-Range: bytes 0-223/224\r\n"),
     true},
    {"NoContentLength", withHead("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Encoding: gzip\r\n"), true},
    {"NotPartitioned", withKey(":http://127.0.0.1:18432/upper.html"), true, true},
    {"AnonymousUserContext", withKey("O^userContextId=5,a,:http://127.0.0.1:18432/upper.html"), true, true},
};

class FirefoxEntryVariantTest : public FirefoxCacheTest, public ::testing::WithParamInterface<EntryVariant>
{};

TEST_P(FirefoxEntryVariantTest, IsSkippedUnlessWholeAndTheWalkGoesOn)
{
    const EntryVariant& variant = GetParam();
    const QByteArray bytes = variant.make(fileBytes(entryPath(kVariedEntry)));
    QString storedName = kVariedEntry;
    if (variant.storedUnderItsKey) {
        const std::optional<FirefoxEntryEditor> editor = FirefoxEntryEditor::fromFile(bytes);
        ASSERT_TRUE(editor.has_value());
        storedName = editor->fileName();
        ASSERT_TRUE(QFile::remove(entryPath(kVariedEntry)));
    }
    copy_.write(entryName(storedName), bytes);

    FirefoxCache cache(cacheFolder_);
    const QHash<QString, CacheEntry> entries = entriesByFileName(cache);
    for (const QString& fileName : usableFileNames()) {
        if (fileName != kVariedEntry) {
            EXPECT_TRUE(entries.contains(fileName)) << fileName.toStdString();
        }
    }
    const std::optional<CacheEntry> found = cache.lookup(kVariedUrl);
    if (!variant.usable) {
        EXPECT_FALSE(entries.contains(storedName));
        EXPECT_FALSE(found.has_value());
        return;
    }
    ASSERT_TRUE(entries.contains(storedName));
    const CacheEntry& entry = entries[storedName];
    EXPECT_EQ(entry.url, kVariedUrl);
    EXPECT_EQ(entry.size, 1770);
    EXPECT_EQ(bodyOf(entry).value_or(QByteArray()).size(), 1770);
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->body.file, entry.body.file);
}

INSTANTIATE_TEST_SUITE_P(Variants, FirefoxEntryVariantTest, ::testing::ValuesIn(kVariants),
                         [](const ::testing::TestParamInfo<EntryVariant>& variantInfo) {
                             return variantInfo.param.name;
                         });

TEST_F(FirefoxCacheTest, BodyThatInflatesPastTheCapIsSizedByItsHintOnlyAndRefused)
{
    // A few hundred KiB that decode to 256 MiB: the walk must not decode them to learn the size.
    constexpr qint64 kDecoded = qint64(256) << 20;
    struct Case
    {
        const char* encoding;
        QByteArray stored;
        qint64 walkedSize; // what the stored bytes record, or nothing
    };
    const Case cases[] = {
        {"br", TestEncoder::brotliOfZeros(kDecoded), CacheEntry::kUnknownSize},
        {"gzip", TestEncoder::gzipOfZeros(kDecoded), kDecoded},
        {"zstd", TestEncoder::zstdOfZeros(kDecoded), CacheEntry::kUnknownSize},
    };
    for (const Case& bomb : cases) {
        SCOPED_TRACE(bomb.encoding);
        std::optional<FirefoxEntryEditor> editor = FirefoxEntryEditor::fromFile(fileBytes(entryPath(kVariedEntry)));
        ASSERT_TRUE(editor);
        editor->data = bomb.stored;
        editor->setElement("response-head", "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Encoding: " +
                                                QByteArray(bomb.encoding) + "\r\n");
        copy_.write(entryName(kVariedEntry), editor->toFile());

        FirefoxCache cache(cacheFolder_);
        const CacheEntry entry = entriesByFileName(cache).value(kVariedEntry);
        ASSERT_EQ(entry.url, kVariedUrl);
        EXPECT_EQ(entry.size, bomb.walkedSize);
        using SizeOrRefusal = std::variant<qint64, EntryBody::Refusal>;
        EXPECT_EQ(EntryBody::decodedSize(entry.body, kDecoded - 1), SizeOrRefusal(EntryBody::Refusal::TooLarge));
        EXPECT_EQ(EntryBody::decodedSize(entry.body), SizeOrRefusal(kDecoded));
        const std::variant<QByteArray, EntryBody::Refusal> read = EntryBody::read(entry.body, kDecoded / 16);
        EXPECT_EQ(std::get_if<EntryBody::Refusal>(&read) ? std::get<EntryBody::Refusal>(read)
                                                         : EntryBody::Refusal::None,
                  EntryBody::Refusal::TooLarge);
    }
}

} // namespace
