#include "engine/cache/CacheEntry.h"

#include "TestEncoder.h"
#include "TestFolders.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace
{

const QByteArray kBody = QByteArray("body of the response, ").repeated(50);
const QByteArray kBefore = QByteArrayLiteral("record before the body");
const QByteArray kAfter = QByteArrayLiteral("record after the body");

struct MaterializeCase
{
    const char* name;
    QByteArray stored;
    QString contentEncoding;
    qint64 offsetShift; // added to the body's true offset
    qint64 lengthShift; // added to its true length
    bool cacheFileExists;
    std::optional<QByteArray> written; // what the local file holds afterwards; nullopt: no file
};

std::ostream& operator<<(std::ostream& out, const MaterializeCase& c)
{
    return out << c.name;
}

class Materialize : public testing::TestWithParam<MaterializeCase>
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(cacheDir_.isValid());
        ASSERT_TRUE(extractionDir_.isValid());
    }

    // An entry whose body lies in the middle of a cache file, as both browsers keep it.
    CacheEntry entryFor(const MaterializeCase& c)
    {
        CacheEntry entry;
        entry.url = QStringLiteral("http://host/page.html");
        entry.localFile = QDir(extractionDir_.path()).filePath(QStringLiteral("page[1].html"));
        entry.body.file = QDir(cacheDir_.path()).filePath(QStringLiteral("entry_0"));
        entry.body.offset = kBefore.size() + c.offsetShift;
        entry.body.length = c.stored.size() + c.lengthShift;
        entry.body.contentEncoding = c.contentEncoding;
        if (c.cacheFileExists) {
            EXPECT_TRUE(writeFileBytes(entry.body.file, kBefore + c.stored + kAfter));
        }
        return entry;
    }

    QStringList extractedFiles() const
    {
        return QDir(extractionDir_.path()).entryList(QDir::Files | QDir::Hidden | QDir::System);
    }

    QTemporaryDir cacheDir_;
    QTemporaryDir extractionDir_;
};

TEST_P(Materialize, WritesTheDecodedBodyOrNothing)
{
    const MaterializeCase& c = GetParam();
    const CacheEntry entry = entryFor(c);
    EXPECT_EQ(entry.materialize(), c.written.has_value());
    if (c.written) {
        QFile file(entry.localFile);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_EQ(file.readAll(), *c.written);
        EXPECT_EQ(extractedFiles(), QStringList{QStringLiteral("page[1].html")});
    } else {
        // Not even a temporary file is left behind.
        EXPECT_EQ(extractedFiles(), QStringList());
    }
}

INSTANTIATE_TEST_SUITE_P(
    CacheEntry, Materialize,
    testing::Values(MaterializeCase{"Identity", kBody, QString(), 0, 0, true, kBody},
                    MaterializeCase{"Gzip", TestEncoder::gzip(kBody), QStringLiteral("gzip"), 0, 0, true, kBody},
                    MaterializeCase{"Zstd", TestEncoder::zstdStreamed(kBody), QStringLiteral("zstd"), 0, 0, true,
                                    kBody},
                    MaterializeCase{"EmptyBody", QByteArray(), QStringLiteral("gzip"), 0, 0, true, QByteArray()},
                    // A body that does not decode is kept as the server sent it.
                    MaterializeCase{"CorruptGzipKeptAsStored", kBody, QStringLiteral("gzip"), 0, 0, true, kBody},
                    MaterializeCase{"UnknownEncodingKeptAsStored", kBody, QStringLiteral("sdch"), 0, 0, true, kBody},
                    MaterializeCase{"MissingCacheFile", kBody, QString(), 0, 0, false, std::nullopt},
                    MaterializeCase{"LengthBeyondTheFile", kBody, QString(), 0, kAfter.size() + 1, true, std::nullopt},
                    MaterializeCase{"OffsetBeyondTheFile", kBody, QString(), kBody.size() + kAfter.size() + 1,
                                    -kBody.size(), true, std::nullopt},
                    MaterializeCase{"NegativeOffset", kBody, QString(), -kBefore.size() - 1, 0, true, std::nullopt},
                    MaterializeCase{"NegativeLength", kBody, QString(), 0, -kBody.size() - 1, true, std::nullopt}),
    [](const testing::TestParamInfo<MaterializeCase>& testInfo) { return testInfo.param.name; });

TEST(CacheEntry, MaterializeKeepsAFileAlreadyThere)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    CacheEntry entry;
    entry.localFile = QDir(dir.path()).filePath(QStringLiteral("logo[1].gif"));
    entry.body.file = QDir(dir.path()).filePath(QStringLiteral("gone")); // the cache dropped it since
    entry.body.length = 10;
    ASSERT_TRUE(writeFileBytes(entry.localFile, "GIF89a"));

    EXPECT_TRUE(entry.materialize());
    QFile existing(entry.localFile);
    ASSERT_TRUE(existing.open(QIODevice::ReadOnly));
    EXPECT_EQ(existing.readAll(), QByteArrayLiteral("GIF89a"));
}

TEST(CacheEntry, ThreadsMaterializingOneEntryAllReadTheWholeBody)
{
    // A body large enough that writing it takes a while: no thread may find the file half written.
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QByteArray body = QByteArray("0123456789abcdef").repeated(1 << 19);
    const QString cacheFile = QDir(dir.path()).filePath(QStringLiteral("entry_0"));
    ASSERT_TRUE(writeFileBytes(cacheFile, body));
    CacheEntry entry;
    entry.localFile = QDir(dir.path()).filePath(QStringLiteral("movie[1].bin"));
    entry.body.file = cacheFile;
    entry.body.length = body.size();

    std::vector<qint64> sizesSeen(8, -1);
    std::vector<std::thread> threads;
    for (qint64& sizeSeen : sizesSeen) {
        threads.emplace_back([&entry, &sizeSeen] {
            if (!entry.materialize())
                return;
            QFile local(entry.localFile);
            if (local.open(QIODevice::ReadOnly))
                sizeSeen = local.readAll().size();
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    for (const qint64 sizeSeen : sizesSeen)
        EXPECT_EQ(sizeSeen, body.size());
}

TEST(CacheEntry, MaterializeWithoutALocalFileFails)
{
    EXPECT_FALSE(CacheEntry().materialize());
}

} // namespace
