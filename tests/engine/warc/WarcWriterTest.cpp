#include "engine/warc/WarcWriter.h"

#include "engine/cache/BlockfileCache.h"
#include "engine/cache/CacheCopy.h"
#include "engine/cache/CacheDetector.h"
#include "engine/cache/CacheTestSupport.h"
#include "engine/cache/CollectingSink.h"
#include "engine/cache/FirefoxCache.h"
#include "engine/cache/IndexDatCache.h"
#include "engine/cache/SimpleCache.h"
#include "engine/warc/Base32.h"
#include "engine/warc/HttpResponseBlock.h"
#include "engine/warc/WarcFileReader.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QFile>
#include <QTemporaryDir>
#include <functional>
#include <sys/stat.h>

#include <gtest/gtest.h>

namespace
{

const QString kCaches = QStringLiteral(WEBGLEANER_TEST_DATA "/caches");

QByteArray sha1Label(const QByteArray& bytes)
{
    return "sha1:" + Base32::encode(QCryptographicHash::hash(bytes, QCryptographicHash::Sha1));
}

QByteArray storedBytes(const CacheEntry& entry)
{
    CollectingSink sink;
    EXPECT_EQ(EntryBody::streamStored(entry.body, sink), EntryBody::Refusal::None) << entry.url.toStdString();
    return sink.collected;
}

// A writer whose spools refuse every byte once `spoolsFail` is set: a full disk under the archive's folder.
class FailingSpoolWriter : public WarcWriter
{
public:
    using WarcWriter::WarcWriter;
    bool spoolsFail = false;

protected:
    std::shared_ptr<QIODevice> openSpool(qint64 size) const override
    {
        if (!spoolsFail)
            return WarcWriter::openSpool(size);
        auto spool = std::make_shared<QFile>(QStringLiteral("/dev/full"));
        spool->open(QIODevice::ReadWrite | QIODevice::Unbuffered);
        return spool;
    }
};

struct WrittenArchive
{
    QTemporaryDir dir;
    QString path = dir.filePath(QStringLiteral("out.warc.gz"));
};

QList<WarcFileReader::Record> readBack(const QString& path)
{
    QByteArray error;
    const std::optional<QList<WarcFileReader::Record>> records = WarcFileReader::read(fileBytes(path), &error);
    EXPECT_TRUE(records) << error.toStdString();
    return records.value_or(QList<WarcFileReader::Record>());
}

} // namespace

TEST(Base32Test, EncodesTheRfcVectors)
{
    const std::pair<const char*, const char*> cases[] = {
        {"", ""},
        {"f", "MY======"},
        {"fo", "MZXQ===="},
        {"foo", "MZXW6==="},
        {"foob", "MZXW6YQ="},
        {"fooba", "MZXW6YTB"},
        {"foobar", "MZXW6YTBOI======"},
    };
    for (const auto& [plain, encoded] : cases)
        EXPECT_EQ(Base32::encode(QByteArray(plain)), QByteArray(encoded)) << plain;
}

TEST(HttpResponseBlockTest, MakesTheHeadOfARecordFromWhatCachesKeep)
{
    struct Case
    {
        const char* name;
        QByteArray cached;
        std::optional<QByteArray> block; // std::nullopt: refused
    };
    // clang-format off
    const Case cases[] = {
        {"Chromium's NUL-ended lines", QByteArray("HTTP/1.1 200 OK\0Content-Type: image/gif\0Content-Length: 3\0\0", 60),
         QByteArray("HTTP/1.1 200 OK\r\nContent-Type: image/gif\r\nContent-Length: 3\r\n\r\n")},
        {"Firefox's CR LF lines, no empty line", "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\n",
         QByteArray("HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\n\r\n")},
        {"hop-by-hop fields and cookies left out",
         "HTTP/1.1 200 OK\r\nConnection: keep-alive, X-Hop\r\nKeep-Alive: timeout=5\r\nTransfer-Encoding: chunked\r\n"
         "X-Hop: 1\r\nSet-Cookie: a=b\r\nETag: \"x\"\r\nUpgrade: h2c\r\n",
         QByteArray("HTTP/1.1 200 OK\r\nETag: \"x\"\r\n\r\n")},
        {"folded value unfolded", "HTTP/1.1 200 OK\nX-Long: a\n  b\n", QByteArray("HTTP/1.1 200 OK\r\nX-Long: a b\r\n\r\n")},
        {"no status line", "Content-Type: text/html\r\n", std::nullopt},
        {"status without a code", "HTTP/1.1 OK\r\n", std::nullopt},
        {"empty", "", std::nullopt},
        {"too many fields", "HTTP/1.1 200 OK\r\n" + QByteArray("X: y\r\n").repeated(HttpResponseBlock::kMaxFields + 1),
         std::nullopt},
        {"too long", "HTTP/1.1 200 OK\r\nX: " + QByteArray(HttpResponseBlock::kMaxHeadSize, 'y'), std::nullopt},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::optional<HttpResponseBlock> block = HttpResponseBlock::fromCachedHead(c.cached);
        ASSERT_EQ(block.has_value(), c.block.has_value());
        if (block)
            EXPECT_EQ(block->bytes(), *c.block);
    }
}

// Every entry of each real cache becomes one record per gzip member, whose digests this test recomputes,
// whose payload is the body as stored, content coding kept, and whose head is the stored one.
TEST(WarcWriterTest, RecordsEveryEntryOfTheFixtureCachesWithTheirDigests)
{
    struct Fixture
    {
        const char* folder;
        std::function<std::unique_ptr<UrlCache>(const QString&)> open;
        bool keepsAddress; // Chromium keeps the server's address and the response time
    };
    const Fixture fixtures[] = {
        {"chromium-simple/Cache_Data", [](const QString& p) { return std::make_unique<SimpleCache>(p); }, true},
        {"chromium-pages/Cache_Data", [](const QString& p) { return std::make_unique<SimpleCache>(p); }, true},
        {"chromium-blockfile/Cache_Data", [](const QString& p) { return std::make_unique<BlockfileCache>(p); }, true},
        {"firefox-cache2", [](const QString& p) { return std::make_unique<FirefoxCache>(p); }, false},
        // A service worker's caches keep bodies decoded and heads that name no coding.
        {"chromium-cache-storage/CacheStorage",
         [](const QString& p) { return CacheDetector::open(CacheDetector::recognise(p)); }, false},
        // GNOME Web keeps bodies decoded too, under the head the server sent: the head is made to fit them.
        {"webkit/WebKitCache", [](const QString& p) { return CacheDetector::open(CacheDetector::recognise(p)); },
         false},
    };
    for (const Fixture& fixture : fixtures) {
        SCOPED_TRACE(fixture.folder);
        const CacheCopy copy(kCaches + u'/' + QString::fromLatin1(fixture.folder));
        const std::unique_ptr<UrlCache> cache = fixture.open(copy.path());
        const std::vector<CacheEntry> entries = walk(*cache);
        ASSERT_FALSE(entries.empty());

        WrittenArchive archive;
        std::vector<WarcWriter::Capture> captures;
        std::vector<const CacheEntry*> recorded;
        {
            QFile file(archive.path);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            WarcWriter writer(file);
            ASSERT_TRUE(writer.writeInfo("WebGleaner test", {copy.path()}));
            for (const CacheEntry& entry : entries) {
                const WarcWriter::Outcome outcome = writer.record(entry);
                // A range the browser fetched is no whole response.
                if (entry.responseHead.contains(" 206 ")) {
                    EXPECT_EQ(outcome.refusal, WarcWriter::Refusal::Partial);
                    continue;
                }
                EXPECT_EQ(outcome.refusal, WarcWriter::Refusal::None) << entry.url.toStdString();
                if (outcome.refusal == WarcWriter::Refusal::None && !outcome.revisit)
                    recorded.push_back(&entry);
            }
            captures = writer.captures();
        }

        const QList<WarcFileReader::Record> records = readBack(archive.path);
        ASSERT_EQ(records.size(), qsizetype(captures.size()) + 1);
        EXPECT_EQ(records[0].field("WARC-Type"), "warcinfo");
        const QByteArray infoId = records[0].field("WARC-Record-ID");
        std::size_t response = 0;
        for (qsizetype i = 1; i < records.size(); ++i) {
            const WarcFileReader::Record& record = records[i];
            const WarcWriter::Capture& capture = captures[std::size_t(i - 1)];
            SCOPED_TRACE(capture.url.toStdString());
            EXPECT_EQ(record.offset, capture.offset);
            EXPECT_EQ(record.length, capture.length);
            EXPECT_EQ(record.field("WARC-Target-URI"), capture.url.toUtf8());
            EXPECT_EQ(record.field("WARC-Warcinfo-ID"), infoId);
            EXPECT_EQ(record.field("Content-Type"), "application/http;msgtype=response");
            EXPECT_EQ(record.field("WARC-Block-Digest"), sha1Label(record.block));
            if (record.field("WARC-Type") == "revisit")
                continue;
            ASSERT_EQ(record.field("WARC-Type"), "response");
            ASSERT_LT(response, recorded.size());
            const CacheEntry& entry = *recorded[response++];
            EXPECT_EQ(record.payload(), storedBytes(entry));
            EXPECT_EQ(record.field("WARC-Payload-Digest"), sha1Label(record.payload()));
            const QByteArray head = record.httpHead().toLower();
            EXPECT_TRUE(head.startsWith("http/1.1 200"));
            EXPECT_FALSE(head.contains("\r\ntransfer-encoding:") || head.contains("\r\nconnection:"));
            // The coding stays true: the payload is still coded when the head says so.
            EXPECT_EQ(head.contains("\r\ncontent-encoding: " + entry.body.contentEncoding.toLatin1() + "\r\n"),
                      !entry.body.contentEncoding.isEmpty());
            if (fixture.keepsAddress) {
                EXPECT_EQ(record.field("WARC-IP-Address"), "127.0.0.1");
                EXPECT_EQ(record.field("WARC-Date"), WarcWriter::dateText(entry.responseTime));
            } else {
                EXPECT_EQ(record.field("WARC-IP-Address"), "");
                EXPECT_TRUE(
                    QDateTime::fromString(QString::fromLatin1(record.field("WARC-Date")), Qt::ISODate).isValid());
            }
        }
        EXPECT_EQ(response, recorded.size());
    }
}

// The same bodies in another cache are revisits of the first records; the same entry again adds nothing.
TEST(WarcWriterTest, ABodySeenAgainIsARevisitOfItsFirstRecord)
{
    const CacheCopy first(kCaches + QStringLiteral("/chromium-pages/Cache_Data"), QStringLiteral("one"));
    const CacheCopy second(kCaches + QStringLiteral("/chromium-pages/Cache_Data"), QStringLiteral("two"));
    SimpleCache cacheOne(first.path());
    SimpleCache cacheTwo(second.path());
    const std::vector<CacheEntry> one = walk(cacheOne);
    const std::vector<CacheEntry> two = walk(cacheTwo);

    WrittenArchive archive;
    QFile file(archive.path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    WarcWriter writer(file);
    for (const CacheEntry& entry : one)
        ASSERT_FALSE(writer.record(entry).revisit);
    const qint64 afterFirst = file.pos();
    for (const CacheEntry& entry : one)
        EXPECT_TRUE(writer.record(entry).recordedBefore);
    EXPECT_EQ(file.pos(), afterFirst);
    for (const CacheEntry& entry : two)
        EXPECT_TRUE(writer.record(entry).revisit);
    file.close();

    const QList<WarcFileReader::Record> records = readBack(archive.path);
    ASSERT_EQ(records.size(), qsizetype(one.size() + two.size()));
    for (qsizetype i = 0; i < qsizetype(one.size()); ++i) {
        const WarcFileReader::Record& original = records[i];
        const WarcFileReader::Record& revisit = records[i + qsizetype(one.size())];
        SCOPED_TRACE(original.field("WARC-Target-URI").toStdString());
        EXPECT_EQ(revisit.field("WARC-Type"), "revisit");
        EXPECT_EQ(revisit.field("WARC-Profile"), WarcWriter::kRevisitProfile);
        EXPECT_EQ(revisit.field("WARC-Refers-To"), original.field("WARC-Record-ID"));
        EXPECT_EQ(revisit.field("WARC-Refers-To-Target-URI"), original.field("WARC-Target-URI"));
        EXPECT_EQ(revisit.field("WARC-Refers-To-Date"), original.field("WARC-Date"));
        EXPECT_EQ(revisit.field("WARC-Payload-Digest"), original.field("WARC-Payload-Digest"));
        EXPECT_EQ(revisit.block, original.httpHead()) << "a revisit's block is the head alone";
    }
}

// An entry that cannot make a whole record is refused with its reason, and leaves the file as it was.
TEST(WarcWriterTest, EntriesThatCannotMakeAWholeRecordAreRefusedAndLeaveNoTrace)
{
    const CacheCopy chromium(kCaches + QStringLiteral("/chromium-pages/Cache_Data"));
    const CacheCopy indexDat(kCaches + QStringLiteral("/indexdat/small/Content.IE5"));
    SimpleCache simple(chromium.path());
    IndexDatCache legacy(indexDat.path());
    const std::vector<CacheEntry> chromiumEntries = walk(simple);
    const std::vector<CacheEntry> legacyEntries = walk(legacy);
    ASSERT_GE(chromiumEntries.size(), 5u);
    ASSERT_FALSE(legacyEntries.empty());
    const auto withHead = [](CacheEntry entry, const QByteArray& from, const QByteArray& to) {
        entry.responseHead.replace(from, to);
        return entry;
    };
    const CacheEntry& plain = chromiumEntries[0];
    const qint64 length = plain.body.length;

    struct Case
    {
        const char* name;
        CacheEntry entry;
        WarcWriter::Refusal refusal;
        EntryBody::Refusal bodyRefusal = EntryBody::Refusal::None;
        bool spoolFails = false;
    };
    CacheEntry tooLarge = plain;
    tooLarge.body.length = WarcWriter::kMaxPayloadSize + 1;
    tooLarge.responseHead = withHead(plain, "Content-Length", "X-Length").responseHead;
    CacheEntry vanished = chromiumEntries[1];
    vanished.body.held.clear();
    // clang-format off
    const Case cases[] = {
        {"index.dat keeps no usable head", legacyEntries[0], WarcWriter::Refusal::NoResponseHead},
        {"a 206", withHead(plain, " 200 OK", " 206 Partial Content"), WarcWriter::Refusal::Partial},
        {"shorter than its Content-Length",
         withHead(plain, "Content-Length: " + QByteArray::number(length), "Content-Length: " + QByteArray::number(length + 1)),
         WarcWriter::Refusal::Partial},
        {"over the cap", tooLarge, WarcWriter::Refusal::TooLarge},
        {"gone before it is read", vanished, WarcWriter::Refusal::BodyRefused, EntryBody::Refusal::Vanished},
        {"its spool refuses bytes", chromiumEntries[2], WarcWriter::Refusal::WriteFailed,
         EntryBody::Refusal::SinkFailed, true},
    };
    // clang-format on
    ASSERT_TRUE(QFile::remove(vanished.body.file));

    WrittenArchive archive;
    QFile file(archive.path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    FailingSpoolWriter writer(file);
    ASSERT_TRUE(writer.writeInfo("WebGleaner test", {}));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const qint64 before = file.pos();
        writer.spoolsFail = c.spoolFails;
        const WarcWriter::Outcome outcome = writer.record(c.entry);
        writer.spoolsFail = false;
        EXPECT_EQ(outcome.refusal, c.refusal);
        EXPECT_EQ(outcome.bodyRefusal, c.bodyRefusal);
        EXPECT_EQ(file.pos(), before);
        EXPECT_EQ(file.size(), before);
        EXPECT_FALSE(writer.failed());
    }
    // And the entries after them still have their records.
    EXPECT_EQ(writer.record(chromiumEntries[3]).refusal, WarcWriter::Refusal::None);
    file.close();
    EXPECT_EQ(readBack(archive.path).size(), 2);
    EXPECT_TRUE(writer.captures().size() == 1);
}
