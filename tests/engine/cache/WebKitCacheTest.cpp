#include "engine/cache/WebKitCache.h"
#include "CacheCopy.h"
#include "CacheTestSupport.h"
#include "QtPrinters.h"
#include "WebKitRecordEditor.h"
#include "engine/cache/CacheDetector.h"
#include "engine/cache/WebKitCacheEnumeration.h"
#include "engine/cache/WebKitCacheFolder.h"
#include "engine/cache/WebKitRecord.h"

#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cctype>
#include <thread>
#include <zlib.h>

#include <gtest/gtest.h>

namespace
{

using Refusal = WebKitRecord::Refusal;

// A cache GNOME Web wrote visiting the site of tools/make-webkit-fixture.py, and what the server sent.
const QString kFixture = QStringLiteral(WEBGLEANER_TEST_DATA "/caches/webkit/WebKitCache");
const QString kSent = QStringLiteral(WEBGLEANER_TEST_DATA "/caches/webkit/bodies");
const QString kSite = QStringLiteral("http://127.0.0.1:18439");
const QString kPartition = QStringLiteral("53CD5E770188BA3379189B3B437210E1C590232D");
// A picture kept in its record, and one kept in a blob beside it.
const QString kIconRecord = kPartition + QStringLiteral("/531DC422DB3D35E8F6B768C3D6B541EF4B0291C1");
const QString kPhotoRecord = kPartition + QStringLiteral("/924EFC5058FE3CA329F6AEB81087CBA3A6CF2A34");

QString recordFile(const QString& recordName)
{
    return QStringLiteral("Version 17/Records/") + recordName.left(40) + QStringLiteral("/Resource/") +
           recordName.mid(41);
}

QByteArray gunzip(const QByteArray& encoded)
{
    z_stream stream{};
    if (inflateInit2(&stream, 16 + MAX_WBITS) != Z_OK)
        return {};
    QByteArray plain;
    char buffer[16384];
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(encoded.constData()));
    stream.avail_in = uInt(encoded.size());
    int result = Z_OK;
    while (result == Z_OK) {
        stream.next_out = reinterpret_cast<Bytef*>(buffer);
        stream.avail_out = sizeof buffer;
        result = inflate(&stream, Z_NO_FLUSH);
        plain.append(buffer, qsizetype(sizeof buffer - stream.avail_out));
    }
    inflateEnd(&stream);
    return result == Z_STREAM_END ? plain : QByteArray();
}

struct Stored
{
    const char* path;      // on the site, as requested
    const char* sentFile;  // under kSent
    const char* localName; // the name its body goes by
    const char* contentType;
    bool gzipSent; // the server sent it gzip-encoded; the browser stored it decoded
    bool inBlob;
};

// clang-format off
const Stored kStored[] = {
    {"/index.html",                 "index.html",       "index[1].html",     "text/html; charset=utf-8", false, false},
    {"/sub/page.html",              "sub/page.html",    "page[1].html",      "text/html; charset=utf-8", false, false},
    {"/css/style.css",              "css/style.css",    "style[1].css",      "text/css",                 true,  true},
    {"/js/app.js",                  "js/app.js",        "app[1].js",         "application/javascript",   true,  false},
    {"/data/info.json",             "data/info.json",   "info[1].json",      "application/json",         false, false},
    {"/img/logo.gif",               "img/logo.gif",     "logo[1].gif",       "image/gif",                false, false},
    {"/img/icon.png",               "img/icon.png",     "icon[1].png",       "image/png",                false, false},
    {"/img/%E5%9B%BE%E6%A0%87.png", "img/图标.png",     "图标[1].png",       "image/png",                false, false},
    {"/img/photo.jpg",              "img/photo.jpg",    "photo[1].jpg",      "image/jpeg",               false, true},
    {"/big/photo-big.jpg",          "big/photo-big.jpg", "photo-big[1].jpg", "image/jpeg",               false, true},
};
// clang-format on

QStringList storedUrls()
{
    QStringList urls;
    for (const Stored& stored : kStored)
        urls << kSite + QLatin1String(stored.path);
    urls.sort();
    return urls;
}

class WebKitCacheTest : public ::testing::Test
{
protected:
    const CacheCopy copy_{kFixture};
};

TEST_F(WebKitCacheTest, ListsEachStoredResponseWithTheBodyThePageGot)
{
    WebKitCache cache(copy_.path());
    const std::vector<CacheEntry> entries = walk(cache);
    QStringList urls = urlsOf(entries);
    urls.sort();
    EXPECT_EQ(urls, storedUrls()); // not the no-store page, nor the 404s

    for (const Stored& stored : kStored) {
        SCOPED_TRACE(stored.path);
        const auto entry = std::find_if(entries.begin(), entries.end(), [&](const CacheEntry& candidate) {
            return candidate.url == kSite + QLatin1String(stored.path);
        });
        ASSERT_NE(entry, entries.end());
        const QByteArray sent = fileBytes(kSent + u'/' + QString::fromUtf8(stored.sentFile));
        const QByteArray expected = stored.gzipSent ? gunzip(sent) : sent;
        ASSERT_FALSE(expected.isEmpty());
        EXPECT_EQ(bodyOf(*entry), expected);
        EXPECT_EQ(entry->size, expected.size());
        EXPECT_TRUE(entry->body.contentEncoding.isEmpty());
        EXPECT_EQ(entry->contentType, QString::fromUtf8(stored.contentType));
        EXPECT_EQ(entry->localName, QString::fromUtf8(stored.localName));
        EXPECT_EQ(entry->body.file.endsWith(QLatin1String("-blob")), stored.inBlob);
        EXPECT_EQ(entry->sourceFolder, copy_.path());
        EXPECT_TRUE(entry->lastAccess.isValid());
    }
}

TEST_F(WebKitCacheTest, LooksUpEachStoredUrlAndNothingElse)
{
    WebKitCache cache(copy_.path());
    for (const QString& url : storedUrls()) {
        const std::optional<CacheEntry> entry = cache.lookup(url);
        ASSERT_TRUE(entry) << url.toStdString();
        EXPECT_EQ(entry->url, url);
        EXPECT_TRUE(bodyOf(*entry));
    }
    for (const char* path : {"/nostore.html", "/sub/missing.png", "/favicon.ico", "/img/icon.png?v=2"})
        EXPECT_FALSE(cache.lookup(kSite + QLatin1String(path))) << path;
}

TEST_F(WebKitCacheTest, RemovesARecordWithItsBlobAndNothingElse)
{
    WebKitCache cache(copy_.path());
    const std::optional<CacheEntry> photo = cache.lookup(kSite + QStringLiteral("/img/photo.jpg"));
    ASSERT_TRUE(photo);
    const QString blobs = copy_.file(QStringLiteral("Version 17/Blobs"));
    const qsizetype blobCount = QDir(blobs).entryList(QDir::Files).size();

    EXPECT_EQ(cache.removeEntry(*photo), UrlCache::RemoveOutcome::Removed);
    EXPECT_FALSE(QFileInfo::exists(copy_.file(recordFile(kPhotoRecord))));
    EXPECT_FALSE(QFileInfo::exists(copy_.file(recordFile(kPhotoRecord) + QStringLiteral("-blob"))));
    // The browser drops the files of Blobs/ that no record links to when it next tidies its cache.
    EXPECT_EQ(QDir(blobs).entryList(QDir::Files).size(), blobCount);
    EXPECT_EQ(walk(cache).size(), std::size(kStored) - 1);
    EXPECT_FALSE(cache.lookup(photo->url));
    EXPECT_EQ(cache.removeEntry(*photo), UrlCache::RemoveOutcome::Gone);
}

TEST_F(WebKitCacheTest, LeavesARecordTheBrowserWroteAgain)
{
    WebKitCache cache(copy_.path());
    const std::optional<CacheEntry> icon = cache.lookup(kSite + QStringLiteral("/img/icon.png"));
    ASSERT_TRUE(icon);
    const QByteArray record = fileBytes(copy_.file(recordFile(kIconRecord)));
    QFile::remove(copy_.file(recordFile(kIconRecord)));
    copy_.write(recordFile(kIconRecord), record); // another inode: written anew

    EXPECT_EQ(cache.removeEntry(*icon), UrlCache::RemoveOutcome::Gone);
    EXPECT_TRUE(QFileInfo::exists(copy_.file(recordFile(kIconRecord))));
}

TEST_F(WebKitCacheTest, ReferencesEveryRecordForClearing)
{
    copy_.edit(recordFile(kPhotoRecord) + QStringLiteral("-blob"), [](QByteArray& blob) { blob.chop(1); });
    WebKitCache cache(copy_.path());
    std::vector<CacheEntry> references;
    const std::unique_ptr<CacheEnumeration> all = cache.enumerateAll();
    while (std::optional<CacheEntry> entry = all->next())
        references.push_back(std::move(*entry));
    QStringList urls = urlsOf(references);
    urls.sort();
    EXPECT_EQ(urls, storedUrls()); // the photo too, whose blob no longer matches its record
    removeUrl(cache, kSite + QStringLiteral("/img/photo.jpg"));
    EXPECT_FALSE(QFileInfo::exists(copy_.file(recordFile(kPhotoRecord))));
}

TEST_F(WebKitCacheTest, RefusesABodyThatIsNotTheOneStoredWhenItIsRead)
{
    const QString iconFile = recordFile(kIconRecord);
    const QString photoBlob = recordFile(kPhotoRecord) + QStringLiteral("-blob");
    copy_.edit(iconFile, [](QByteArray& record) { record[record.size() - 10] ^= 1; });
    copy_.edit(photoBlob, [](QByteArray& blob) { blob[blob.size() / 2] ^= 1; });
    WebKitCache cache(copy_.path());
    // Listed, as a walk reads no body whole, and refused once read.
    for (const char* path : {"/img/icon.png", "/img/photo.jpg"}) {
        const std::optional<CacheEntry> entry = cache.lookup(kSite + QLatin1String(path));
        ASSERT_TRUE(entry) << path;
        EXPECT_EQ(refusalOf(*entry), EntryBody::Refusal::Damaged) << path;
    }
}

TEST_F(WebKitCacheTest, LookupsAndRemovalsFromSeveralThreads)
{
    const QStringList urls = storedUrls();
    WebKitCache cache(copy_.path());
    lookUpWhileRemoving(cache, urls);
}

// A string as the browser stores it: its length, whether its characters are Latin-1, then them.
QByteArray storedString(const QString& text, bool latin1)
{
    QByteArray bytes(4, '\0');
    qToLittleEndian<quint32>(quint32(text.size()), bytes.data());
    bytes.append(char(latin1 ? 1 : 0));
    if (latin1)
        return bytes + text.toLatin1();
    for (const QChar c : text) {
        bytes.append(char(c.unicode() & 0xff));
        bytes.append(char(c.unicode() >> 8));
    }
    return bytes;
}

// The icon's record with the Latin-1 string at offsetOf(record) stored as `replacement`, the header's size and
// the hashes put right.
QByteArray iconRecordWith(const std::function<qint64(const QByteArray&)>& offsetOf, const QByteArray& replacement)
{
    QByteArray record = fileBytes(kFixture + u'/' + recordFile(kIconRecord));
    const WebKitRecordEditor::Layout layout = *WebKitRecordEditor::layoutOf(record);
    const qint64 offset = offsetOf(record);
    const qint64 replaced = 5 + qint64(u32At(record, offset));
    record.replace(offset, replaced, replacement);
    if (offset >= layout.header) {
        const quint64 headerSize = u64At(record, layout.headerSize) + replacement.size() - replaced;
        qToLittleEndian<quint64>(headerSize, record.data() + layout.headerSize);
    }
    WebKitRecordEditor::reseal(record, fileBytes(kFixture + QStringLiteral("/Version 17/salt")));
    return record;
}

std::variant<WebKitRecord, Refusal> parseRecord(const QByteArray& record)
{
    return WebKitRecord::parse(record, fileBytes(kFixture + QStringLiteral("/Version 17/salt")),
                               WebKitRecordEditor::fileNameOf(record).toLatin1(),
                               WebKitRecordEditor::folderNameOf(record).toLatin1());
}

TEST(WebKitRecordTest, ReadsStringsOfLatin1AndOfUtf16Characters)
{
    const QString iconUrl = kSite + QStringLiteral("/img/icon.png");
    const auto keyUrl = [](const QByteArray&) { return qint64(22); }; // after the version, partition and type
    const auto contentType = [](const QByteArray& record) {
        return record.indexOf("Content-Type") + qint64(sizeof "Content-Type" - 1);
    };
    struct Case
    {
        const char* name;
        QByteArray record;
        QString url;
        QString contentType;
    };
    const Case cases[] = {
        {"as stored", fileBytes(kFixture + u'/' + recordFile(kIconRecord)), iconUrl, QStringLiteral("image/png")},
        {"URL in UTF-16", iconRecordWith(keyUrl, storedString(iconUrl, false)), iconUrl, QStringLiteral("image/png")},
        {"Content-Type in UTF-16",
         iconRecordWith(contentType, storedString(QStringLiteral("image/png; 名=图标"), false)), iconUrl,
         QStringLiteral("image/png; 名=图标")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::variant<WebKitRecord, Refusal> parsed = parseRecord(c.record);
        ASSERT_TRUE(std::holds_alternative<WebKitRecord>(parsed)) << WebKitRecord::nameOf(std::get<Refusal>(parsed));
        const WebKitRecord& record = std::get<WebKitRecord>(parsed);
        EXPECT_EQ(record.url(), c.url);
        EXPECT_EQ(record.contentType(), c.contentType);
        EXPECT_EQ(record.statusCode(), 200);
        EXPECT_EQ(record.bodySize(), 983u);
        EXPECT_TRUE(record.isBodyInline());
        EXPECT_EQ(record.unusable(), Refusal::None);
    }
    // A UTF-16 string counts characters: twice as many bytes, which must be there.
    QByteArray halfThere = storedString(iconUrl, false);
    halfThere.truncate(5 + iconUrl.size());
    qToLittleEndian<quint32>(quint32(iconUrl.size() * 40), halfThere.data());
    const std::variant<WebKitRecord, Refusal> cut = parseRecord(iconRecordWith(keyUrl, halfThere));
    ASSERT_TRUE(std::holds_alternative<Refusal>(cut));
    EXPECT_EQ(std::get<Refusal>(cut), Refusal::Truncated);
}

// One damaged record, and why it is refused.
struct Damage
{
    const char* name;
    const QString& record;
    std::function<void(const CacheCopy&)> apply;
    Refusal refusal;
};

void editRecord(const CacheCopy& copy, const QString& record, const std::function<void(QByteArray&)>& change)
{
    copy.edit(recordFile(record), change);
}

// Changes the record where the editor finds it, then puts its hashes right, so the damage reaches what
// lies behind them.
void editAndReseal(const CacheCopy& copy, const QString& record,
                   const std::function<void(QByteArray&, const WebKitRecordEditor::Layout&)>& change)
{
    const QByteArray salt = fileBytes(copy.file(QStringLiteral("Version 17/salt")));
    editRecord(copy, record, [&](QByteArray& bytes) {
        const std::optional<WebKitRecordEditor::Layout> layout = WebKitRecordEditor::layoutOf(bytes);
        ASSERT_TRUE(layout);
        change(bytes, *layout);
        ASSERT_TRUE(WebKitRecordEditor::reseal(bytes, salt));
    });
}

void patchU64(QByteArray& bytes, qint64 offset, quint64 value)
{
    qToLittleEndian<quint64>(value, bytes.data() + offset);
}

// clang-format off
const Damage kDamages[] = {
    {"cut inside the key", kIconRecord,
     [](const CacheCopy& c) { editRecord(c, kIconRecord, [](QByteArray& b) { b.truncate(30); }); }, Refusal::Truncated},
    {"cut inside the header", kIconRecord,
     [](const CacheCopy& c) { editRecord(c, kIconRecord, [](QByteArray& b) { b.truncate(200); }); }, Refusal::Truncated},
    {"header size past the end", kIconRecord,
     [](const CacheCopy& c) { editAndReseal(c, kIconRecord, [](QByteArray& b, const auto& l) {
         patchU64(b, l.headerSize, quint64(1) << 62); }); }, Refusal::Truncated},
    {"key string length past the end", kIconRecord,
     [](const CacheCopy& c) { editRecord(c, kIconRecord, [](QByteArray& b) { patchU32(b, 22, 0x7fffffff); }); },
     Refusal::Truncated},
    {"inline body cut short", kIconRecord,
     [](const CacheCopy& c) { editRecord(c, kIconRecord, [](QByteArray& b) { b.chop(1); }); },
     Refusal::InlineSizeMismatch},
    {"inline body size past the end", kIconRecord,
     [](const CacheCopy& c) { editAndReseal(c, kIconRecord, [](QByteArray& b, const auto& l) {
         patchU64(b, l.bodySize, ~quint64(0)); }); }, Refusal::InlineSizeMismatch},
    {"a changed header byte", kIconRecord,
     [](const CacheCopy& c) { editRecord(c, kIconRecord, [](QByteArray& b) {
         b[WebKitRecordEditor::layoutOf(b)->header + 3] ^= 1; }); }, Refusal::HeaderHashMismatch},
    {"header fields past the end", kIconRecord,
     [](const CacheCopy& c) { editAndReseal(c, kIconRecord, [](QByteArray& b, const auto& l) {
         // The count of header fields follows the response's URL, MIME type, length and three strings.
         const qint64 count = b.indexOf("HTTP/1.1", l.header) + 8;
         patchU64(b, count, 200); }); }, Refusal::BadResponse},
    {"too many header fields", kIconRecord,
     [](const CacheCopy& c) { editAndReseal(c, kIconRecord, [](QByteArray& b, const auto& l) {
         patchU64(b, b.indexOf("HTTP/1.1", l.header) + 8, quint64(1) << 40); }); }, Refusal::TooManyHeaderFields},
    {"another version", kIconRecord,
     [](const CacheCopy& c) { editRecord(c, kIconRecord, [](QByteArray& b) { patchU32(b, 0, 16); }); },
     Refusal::UnknownVersion},
    {"under another name", kIconRecord,
     [](const CacheCopy& c) { editAndReseal(c, kIconRecord, [](QByteArray& b, const auto& l) {
         b[l.keyHash] ^= 1; }); }, Refusal::Misplaced},
    {"a FIFO in place of the record", kIconRecord,
     [](const CacheCopy& c) { replaceByFifo(c.file(recordFile(kIconRecord))); }, Refusal::NotRegularFile},
    {"larger than any record", kIconRecord,
     [](const CacheCopy& c) { editRecord(c, kIconRecord, [](QByteArray& b) {
         b.append(QByteArray(WebKitRecord::kMaxFileSize, 'x')); }); }, Refusal::TooLarge},
    {"no salt", kIconRecord,
     [](const CacheCopy& c) { QFile::remove(c.file(QStringLiteral("Version 17/salt"))); }, Refusal::NoSalt},
    {"blob missing", kPhotoRecord,
     [](const CacheCopy& c) { QFile::remove(c.file(recordFile(kPhotoRecord) + "-blob")); }, Refusal::BlobMissing},
    {"blob cut short", kPhotoRecord,
     [](const CacheCopy& c) { c.edit(recordFile(kPhotoRecord) + "-blob", [](QByteArray& b) { b.chop(100); }); },
     Refusal::BlobSizeMismatch},
    {"a FIFO in place of the blob", kPhotoRecord,
     [](const CacheCopy& c) { replaceByFifo(c.file(recordFile(kPhotoRecord) + "-blob")); },
     Refusal::BlobNotRegularFile},
    {"Content-Length other than the body", kIconRecord,
     [](const CacheCopy& c) { editAndReseal(c, kIconRecord, [](QByteArray& b, const auto& l) {
         const qint64 length = b.indexOf("983", l.header);
         b[length] = '7'; }); }, Refusal::IncompleteBody},
    {"a redirect", kIconRecord,
     [](const CacheCopy& c) { editAndReseal(c, kIconRecord, [](QByteArray& b, const auto& l) {
         const qint64 status = b.indexOf(QByteArray::fromHex("c800"), l.header);
         b[status] = char(0x2d); b[status + 1] = 1; }); }, Refusal::NotSuccessful}, // 301
};
// clang-format on

class WebKitDamageTest : public ::testing::TestWithParam<Damage>
{};

TEST_P(WebKitDamageTest, IsRefusedWithItsReasonAndTheWalkGoesOn)
{
    const Damage& damage = GetParam();
    const CacheCopy copy(kFixture);
    damage.apply(copy);

    expectNoWaitOn({copy.file(recordFile(damage.record)), copy.file(recordFile(damage.record) + "-blob")}, [&] {
        EXPECT_EQ(WebKitCacheFolder(copy.path()).readEntry(damage.record).refusal, damage.refusal)
            << WebKitRecord::nameOf(WebKitCacheFolder(copy.path()).readEntry(damage.record).refusal);

        const auto folder = std::make_shared<const WebKitCacheFolder>(copy.path());
        WebKitCacheEnumeration walk(folder, folder->recordNames());
        qsizetype offered = 0;
        while (walk.next())
            ++offered;
        // Without its salt no record can be checked.
        const bool onlyThis = damage.refusal != Refusal::NoSalt;
        EXPECT_EQ(offered, onlyThis ? qsizetype(std::size(kStored)) - 1 : 0);
        EXPECT_EQ(walk.refused(damage.refusal), onlyThis ? 1 : qsizetype(std::size(kStored)));
    });
}

INSTANTIATE_TEST_SUITE_P(Damages, WebKitDamageTest, ::testing::ValuesIn(kDamages),
                         [](const ::testing::TestParamInfo<Damage>& param) {
                             std::string name = param.param.name;
                             std::replace_if(
                                 name.begin(), name.end(), [](char c) { return !std::isalnum(uchar(c)); }, '_');
                             return name;
                         });

TEST(WebKitCacheDetectionTest, TellsTheFolderAndTheProgramFolderAboveIt)
{
    const CacheCopy copy(kFixture);
    const QString program = QFileInfo(copy.path()).path();
    for (const QString& folder : {copy.path(), program}) {
        const CacheLocation location = CacheDetector::recognise(folder);
        EXPECT_EQ(location.kind, CacheLocation::Kind::WebKit) << folder.toStdString();
        EXPECT_EQ(location.folder, copy.path());
        const std::unique_ptr<UrlCache> cache = CacheDetector::open(location);
        ASSERT_TRUE(cache);
        EXPECT_EQ(walk(*cache).size(), std::size(kStored));
    }
}

} // namespace
