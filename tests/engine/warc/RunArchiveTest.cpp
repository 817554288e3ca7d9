#include "engine/warc/RunArchive.h"

#include "FileSizeLimit.h"

#include "engine/archive/VisibleText.h"
#include "engine/cache/CacheCopy.h"
#include "engine/cache/CacheTestSupport.h"
#include "engine/cache/SimpleCache.h"
#include "engine/warc/CdxjIndex.h"
#include "engine/warc/WarcFileReader.h"

#include <QCryptographicHash>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <zip.h>

#include <gtest/gtest.h>

namespace
{

const QString kPages = QStringLiteral(WEBGLEANER_TEST_DATA "/caches/chromium-pages/Cache_Data");

QStringList folderContents(const QString& folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

// The members of a ZIP file: name -> (bytes, stored uncompressed).
std::map<QString, std::pair<QByteArray, bool>> zipMembers(const QString& path)
{
    std::map<QString, std::pair<QByteArray, bool>> members;
    int error = 0;
    zip_t* const archive = zip_open(QFile::encodeName(path).constData(), ZIP_RDONLY | ZIP_CHECKCONS, &error);
    EXPECT_NE(archive, nullptr) << "libzip error " << error;
    if (archive == nullptr)
        return members;
    for (zip_int64_t i = 0; i < zip_get_num_entries(archive, 0); ++i) {
        zip_stat_t stat;
        zip_stat_index(archive, zip_uint64_t(i), 0, &stat);
        QByteArray bytes(qsizetype(stat.size), '\0');
        zip_file_t* const file = zip_fopen_index(archive, zip_uint64_t(i), 0);
        EXPECT_EQ(zip_fread(file, bytes.data(), stat.size), zip_int64_t(stat.size));
        zip_fclose(file);
        members[QString::fromUtf8(stat.name)] = {bytes, stat.comp_method == ZIP_CM_STORE};
    }
    zip_close(archive);
    return members;
}

class RunArchiveTest : public ::testing::Test
{
protected:
    QTemporaryDir out_;
    const CacheCopy cache_{kPages};
    SimpleCache simple_{cache_.path()};
    const std::vector<CacheEntry> entries_ = walk(simple_);

    QString warcPath() const { return out_.filePath(QStringLiteral("run.warc.gz")); }
    QString waczPath() const { return out_.filePath(QStringLiteral("run.wacz")); }
};

} // namespace

TEST_F(RunArchiveTest, PutsTheArchiveAndItsPackageInPlaceAtTheEnd)
{
    const CacheEntry* page = nullptr;
    for (const CacheEntry& entry : entries_) {
        if (entry.url.endsWith(QLatin1String("/forms.html")))
            page = &entry;
    }
    ASSERT_NE(page, nullptr);
    {
        RunArchive archive({warcPath(), waczPath()}, "WebGleaner test", {cache_.path()});
        ASSERT_TRUE(archive.isOpen()) << archive.errorText().toStdString();
        for (const CacheEntry& entry : entries_)
            ASSERT_EQ(archive.record(entry).refusal, WarcWriter::Refusal::None);
        archive.addPage(*page, QStringLiteral("引用形式样本"), QStringLiteral("样式来自 main.css"));
        EXPECT_EQ(folderContents(out_.path()).filter(QRegularExpression(QStringLiteral("^run\\."))), QStringList());
        EXPECT_EQ(archive.finish(), QString());
    }
    EXPECT_EQ(folderContents(out_.path()), QStringList({"run.wacz", "run.warc.gz"})) << "no temporary file left";

    const QByteArray warc = fileBytes(warcPath());
    QByteArray error;
    const std::optional<QList<WarcFileReader::Record>> records = WarcFileReader::read(warc, &error);
    ASSERT_TRUE(records) << error.toStdString();
    ASSERT_EQ(records->size(), qsizetype(entries_.size()) + 1);

    auto members = zipMembers(waczPath());
    ASSERT_EQ(members.size(), 4u);
    EXPECT_EQ(members["archive/data.warc.gz"], std::make_pair(warc, true));
    const auto& [index, indexStored] = members["indexes/index.cdxj"];
    EXPECT_TRUE(indexStored);
    QByteArrayList lines = index.trimmed().split('\n');
    ASSERT_EQ(lines.size(), qsizetype(entries_.size()));
    EXPECT_TRUE(std::is_sorted(lines.begin(), lines.end()));
    for (const QByteArray& line : lines) {
        // Each line points at a whole record of the archive.
        const QJsonObject fields = QJsonDocument::fromJson(line.mid(line.indexOf('{'))).object();
        const qint64 offset = fields["offset"].toString().toLongLong();
        const auto record = std::find_if(records->begin(), records->end(),
                                         [&](const WarcFileReader::Record& r) { return r.offset == offset; });
        ASSERT_NE(record, records->end()) << line.toStdString();
        EXPECT_EQ(record->length, fields["length"].toString().toLongLong());
        EXPECT_EQ(record->field("WARC-Target-URI"), fields["url"].toString().toUtf8());
        EXPECT_EQ(record->field("WARC-Payload-Digest"), fields["digest"].toString().toLatin1());
        EXPECT_TRUE(line.startsWith(CdxjIndex::surtOf(fields["url"].toString()) + ' '));
    }

    const QByteArrayList pages = members["pages/pages.jsonl"].first.trimmed().split('\n');
    ASSERT_EQ(pages.size(), 2);
    EXPECT_EQ(QJsonDocument::fromJson(pages[0]).object()["format"].toString(), "json-pages-1.0");
    const QJsonObject listed = QJsonDocument::fromJson(pages[1]).object();
    EXPECT_EQ(listed["url"].toString(), page->url);
    EXPECT_EQ(listed["title"].toString(), QStringLiteral("引用形式样本"));
    EXPECT_EQ(listed["text"].toString(), QStringLiteral("样式来自 main.css"));
    EXPECT_EQ(listed["ts"].toString(), page->responseTime.toString(Qt::ISODate));

    const QJsonObject package = QJsonDocument::fromJson(members["datapackage.json"].first).object();
    EXPECT_EQ(package["wacz_version"].toString(), "1.1.1");
    const QJsonArray resources = package["resources"].toArray();
    ASSERT_EQ(resources.size(), 3);
    for (const QJsonValue& value : resources) {
        const QJsonObject resource = value.toObject();
        const QByteArray& bytes = members[resource["path"].toString()].first;
        SCOPED_TRACE(resource["path"].toString().toStdString());
        EXPECT_EQ(resource["hash"].toString(),
                  "sha256:" + QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
        EXPECT_EQ(resource["bytes"].toInteger(), bytes.size());
    }
}

// A write that fails part-way, or a run that never finishes, leaves nothing under the names asked for, and
// nothing beside them.
TEST_F(RunArchiveTest, AWriteThatFailsPartWayLeavesNoFile)
{
    {
        RunArchive unfinished({warcPath(), waczPath()}, "WebGleaner test", {});
        for (const CacheEntry& entry : entries_)
            unfinished.record(entry);
    }
    EXPECT_EQ(folderContents(out_.path()), QStringList());

    QString error;
    int refused = 0;
    {
        const FileSizeLimit limit(16 * 1024);
        ASSERT_TRUE(limit.isActive());
        RunArchive archive({warcPath(), waczPath()}, "WebGleaner test", {});
        for (const CacheEntry& entry : entries_)
            refused += archive.record(entry).refusal == WarcWriter::Refusal::WriteFailed ? 1 : 0;
        error = archive.finish();
    }

    EXPECT_GT(refused, 0);
    EXPECT_FALSE(error.isEmpty());
    EXPECT_EQ(folderContents(out_.path()), QStringList());
}

TEST(VisibleTextTest, KeepsWhatAReaderSees)
{
    const std::pair<const char*, const char*> cases[] = {
        {"<!DOCTYPE html><html><head><title>T</title><style>p{}</style></head><body><p>Hello&amp;bye</p></body>",
         "T Hello&bye"},
        {"<p>a</p><!-- hidden --><script>var x = '<p>no</p>';</script><p>b</p>", "a b"},
        {"<SCRIPT>x</SCRIPT >one<Template>two</template>three", "one three"},
        {"  spaced \n\t out  ", "spaced out"},
        {"a < b and c <3", "a < b and c <3"},
        {"<p>unclosed <b", "unclosed"},
        {"<script>never closed", ""},
    };
    for (const auto& [html, text] : cases)
        EXPECT_EQ(VisibleText::of(QByteArray(html)), QString::fromUtf8(text)) << html;
    const QByteArray huge = QByteArray("word ").repeated(VisibleText::kMaxTextBytes);
    EXPECT_LE(VisibleText::of(huge).toUtf8().size(), VisibleText::kMaxTextBytes);
}

TEST(CdxjIndexTest, KeysUrlsTheWayReplayToolsLookThemUp)
{
    const std::pair<const char*, const char*> cases[] = {
        {"http://www.Example.com/a/B.png", "com,example)/a/b.png"},
        {"https://example.com:8443/x?b=2&a=1", "com,example:8443)/x?a=1&b=2"},
        {"http://127.0.0.1:18437/css/style.css", "1,0,0,127:18437)/css/style.css"},
        {"http://example.com", "com,example)/"},
    };
    for (const auto& [url, key] : cases)
        EXPECT_EQ(CdxjIndex::surtOf(QString::fromLatin1(url)), QByteArray(key)) << url;
}
