// Reading bodies out of cache files: EntryBody, and CacheEntry::knownSize, which counts through it.

#include "engine/cache/EntryBody.h"

#include "TestEncoder.h"
#include "TestFolders.h"
#include "engine/cache/ByteSink.h"
#include "engine/cache/CacheEntry.h"
#include "engine/cache/ContentDecoder.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <zlib.h>

namespace
{

using Refusal = EntryBody::Refusal;
using BodyOrRefusal = std::variant<QByteArray, Refusal>;

const QByteArray kBody = QByteArray("body of the response, ").repeated(50);
const QByteArray kBefore = QByteArrayLiteral("record before the body");
const QByteArray kAfter = QByteArrayLiteral("record after the body");

quint32 crcOf(const QByteArray& bytes)
{
    return quint32(crc32(0, reinterpret_cast<const Bytef*>(bytes.constData()), uInt(bytes.size())));
}

struct ReadCase
{
    const char* name;
    QByteArray stored;
    QString contentEncoding;
    qint64 offsetShift = 0; // added to the body's true offset
    qint64 lengthShift = 0; // added to its true length
    bool cacheFileExists = true;
    std::optional<quint32> storedCrc32;
    BodyOrRefusal read; // with the stored bytes given for a body that does not decode
};

std::ostream& operator<<(std::ostream& out, const ReadCase& c)
{
    return out << c.name;
}

class ReadBody : public testing::TestWithParam<ReadCase>
{
protected:
    void SetUp() override { ASSERT_TRUE(cacheDir_.isValid()); }

    // A body in the middle of a cache file, as both Chromium formats and index.dat keep it.
    StoredBody bodyFor(const ReadCase& c)
    {
        StoredBody body;
        body.file = QDir(cacheDir_.path()).filePath(QStringLiteral("entry_0"));
        body.offset = kBefore.size() + c.offsetShift;
        body.length = c.stored.size() + c.lengthShift;
        body.contentEncoding = c.contentEncoding;
        body.storedCrc32 = c.storedCrc32;
        if (c.cacheFileExists) {
            EXPECT_TRUE(writeFileBytes(body.file, kBefore + c.stored + kAfter));
        }
        return body;
    }

    QTemporaryDir cacheDir_;
};

TEST_P(ReadBody, GivesTheDecodedBodyOrWhyNot)
{
    const ReadCase& c = GetParam();
    EXPECT_EQ(EntryBody::read(bodyFor(c), EntryBody::kMaxDecodedSize), c.read);
}

INSTANTIATE_TEST_SUITE_P(
    EntryBody, ReadBody,
    testing::Values(
        ReadCase{"Identity", kBody, QString(), 0, 0, true, std::nullopt, kBody},
        ReadCase{"Gzip", TestEncoder::gzip(kBody), QStringLiteral("gzip"), 0, 0, true, std::nullopt, kBody},
        ReadCase{"GzipThenBrotli", TestEncoder::brotli(TestEncoder::gzip(kBody)), QStringLiteral("gzip, br"), 0, 0,
                 true, std::nullopt, kBody},
        ReadCase{"Zstd", TestEncoder::zstdStreamed(kBody), QStringLiteral("zstd"), 0, 0, true, std::nullopt, kBody},
        ReadCase{"EmptyBody", QByteArray(), QStringLiteral("gzip"), 0, 0, true, std::nullopt, QByteArray()},
        // A body that does not decode is given as the server sent it.
        ReadCase{"CorruptGzipGivenAsStored", kBody, QStringLiteral("gzip"), 0, 0, true, std::nullopt, kBody},
        ReadCase{"UnknownEncodingGivenAsStored", kBody, QStringLiteral("sdch"), 0, 0, true, std::nullopt, kBody},
        ReadCase{"CrcMatches", kBody, QString(), 0, 0, true, crcOf(kBody), kBody},
        ReadCase{"CrcFails", kBody, QString(), 0, 0, true, crcOf(kBody) ^ 1, Refusal::Damaged},
        ReadCase{"CrcOfAnEncodedBodyFails", TestEncoder::gzip(kBody), QStringLiteral("gzip"), 0, 0, true, 0,
                 Refusal::Damaged},
        ReadCase{"MissingCacheFile", kBody, QString(), 0, 0, false, std::nullopt, Refusal::Vanished},
        ReadCase{"LengthBeyondTheFile", kBody, QString(), 0, kAfter.size() + 1, true, std::nullopt, Refusal::Changed},
        ReadCase{"OffsetBeyondTheFile", kBody, QString(), kBody.size() + kAfter.size() + 1, -kBody.size(), true,
                 std::nullopt, Refusal::Changed},
        ReadCase{"NegativeOffset", kBody, QString(), -kBefore.size() - 1, 0, true, std::nullopt, Refusal::Changed},
        ReadCase{"NegativeLength", kBody, QString(), 0, -kBody.size() - 1, true, std::nullopt, Refusal::Changed}),
    [](const testing::TestParamInfo<ReadCase>& testInfo) { return testInfo.param.name; });

// Keeps the size of every chunk it is given, and can refuse after a number of them.
class ChunkSink final : public ByteSink
{
public:
    explicit ChunkSink(int refuseAfter = -1, bool restartable = false)
        : refuseAfter_(refuseAfter), restartable_(restartable)
    {}

    bool write(QByteArrayView bytes) override
    {
        if (int(chunks.size()) == refuseAfter_)
            return false;
        chunks.push_back(bytes.size());
        total += bytes.size();
        return true;
    }

    bool restart() override
    {
        ++restarts;
        chunks.clear();
        total = 0;
        return restartable_;
    }

    std::vector<qsizetype> chunks;
    qint64 total = 0;
    int restarts = 0;

private:
    const int refuseAfter_;
    const bool restartable_;
};

class BodyFile : public testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(dir_.isValid()); }

    StoredBody bodyOf(const QByteArray& stored, const QString& encoding)
    {
        StoredBody body;
        body.file = QDir(dir_.path()).filePath(QStringLiteral("body"));
        body.length = stored.size();
        body.contentEncoding = encoding;
        EXPECT_TRUE(writeFileBytes(body.file, stored));
        return body;
    }

    QTemporaryDir dir_;
};

TEST_F(BodyFile, AnUndecodableBodyIsGivenAgainAsStored)
{
    const StoredBody body = bodyOf(kBody, QStringLiteral("br"));
    ChunkSink restartable(-1, true);
    EXPECT_EQ(EntryBody::stream(body, restartable), Refusal::None);
    EXPECT_EQ(restartable.restarts, 1);
    EXPECT_EQ(restartable.total, kBody.size());
    EXPECT_EQ(EntryBody::read(body, EntryBody::kMaxDecodedSize), BodyOrRefusal(kBody));
    EXPECT_EQ(EntryBody::decodedSize(body), (std::variant<qint64, Refusal>(kBody.size())));
    EXPECT_EQ(EntryBody::read(body, kBody.size() - 1), BodyOrRefusal(Refusal::TooLarge));

    ChunkSink oneWay;
    EXPECT_EQ(EntryBody::stream(body, oneWay), Refusal::Undecodable);
}

TEST_F(BodyFile, ASinkThatFailsEndsTheStream)
{
    const StoredBody body = bodyOf(TestEncoder::gzip(TestEncoder::incompressible(1 << 20)), QStringLiteral("gzip"));
    ChunkSink sink(2);
    EXPECT_EQ(EntryBody::stream(body, sink), Refusal::SinkFailed);
    EXPECT_EQ(sink.chunks.size(), 2u);
}

TEST_F(BodyFile, ReadIsCappedForEveryEncoding)
{
    const QByteArray plain = TestEncoder::incompressible(100'000);
    for (const auto& [encoding, stored] :
         {std::pair{QString(), plain}, std::pair{QStringLiteral("gzip"), TestEncoder::gzip(plain)}}) {
        SCOPED_TRACE(encoding.toStdString());
        const StoredBody body = bodyOf(stored, encoding);
        EXPECT_EQ(EntryBody::read(body, plain.size() - 1), BodyOrRefusal(Refusal::TooLarge));
        EXPECT_EQ(EntryBody::read(body, plain.size()), BodyOrRefusal(plain));
    }
}

qint64 peakResidentKiB()
{
    struct rusage usage
    {};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// A few hundred KiB that claim 256 MiB: decoding them must go through fixed buffers, and stop at the cap.
struct Bomb
{
    const char* encoding;
    QByteArray (*encode)(qint64 size);
};

std::ostream& operator<<(std::ostream& out, const Bomb& bomb)
{
    return out << bomb.encoding;
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kUnderAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kUnderAddressSanitizer = true;
#else
constexpr bool kUnderAddressSanitizer = false;
#endif
#else
constexpr bool kUnderAddressSanitizer = false;
#endif

class BodyBomb : public testing::TestWithParam<Bomb>
{
protected:
    void SetUp() override { ASSERT_TRUE(dir_.isValid()); }
    QTemporaryDir dir_;
};

TEST_P(BodyBomb, IsDecodedInFixedBuffersAndRefusedPastTheCap)
{
    constexpr qint64 kDecoded = qint64(256) << 20;
    StoredBody body;
    body.file = QDir(dir_.path()).filePath(QStringLiteral("bomb"));
    const QByteArray stored = GetParam().encode(kDecoded);
    ASSERT_LT(stored.size(), kDecoded / 128);
    ASSERT_TRUE(writeFileBytes(body.file, stored));
    body.length = stored.size();
    body.contentEncoding = QString::fromLatin1(GetParam().encoding);

    const qint64 peakBefore = peakResidentKiB();
    ChunkSink sink;
    EXPECT_EQ(EntryBody::stream(body, sink), Refusal::None);
    EXPECT_EQ(sink.total, kDecoded);
    EXPECT_LE(*std::max_element(sink.chunks.begin(), sink.chunks.end()), ContentDecoder::kOutputChunk);
    EXPECT_EQ(EntryBody::decodedSize(body), (std::variant<qint64, Refusal>(kDecoded)));
    // Run alone (as ctest runs each test), the peak shows what decoding took: nothing like the body's
    // 256 MiB. AddressSanitizer's shadow memory and freed-block quarantine add to it there.
    constexpr qint64 kPeakBoundKiB = (kUnderAddressSanitizer ? 160 : 64) * 1024;
    EXPECT_LT(peakResidentKiB() - peakBefore, kPeakBoundKiB);

    ChunkSink capped;
    EXPECT_EQ(EntryBody::stream(body, capped, kDecoded - 1), Refusal::TooLarge);
    EXPECT_LE(capped.total, kDecoded - 1);
    EXPECT_EQ(EntryBody::decodedSize(body, kDecoded - 1), (std::variant<qint64, Refusal>(Refusal::TooLarge)));
    EXPECT_EQ(EntryBody::read(body, 1 << 20), BodyOrRefusal(Refusal::TooLarge));

    CacheEntry entry;
    entry.body = body;
    EXPECT_EQ(entry.knownSize(), kDecoded);
}

INSTANTIATE_TEST_SUITE_P(EntryBody, BodyBomb,
                         testing::Values(Bomb{"gzip", &TestEncoder::gzipOfZeros},
                                         Bomb{"br", &TestEncoder::brotliOfZeros},
                                         Bomb{"zstd", &TestEncoder::zstdOfZeros}),
                         [](const testing::TestParamInfo<Bomb>& testInfo) { return testInfo.param.encoding; });

TEST_F(BodyFile, KnownSizeCountsOnlyWhatTheWalkCouldNotKnow)
{
    CacheEntry entry;
    entry.body = bodyOf(TestEncoder::brotli(kBody), QStringLiteral("br"));
    EXPECT_EQ(entry.knownSize(), kBody.size());
    entry.size = 12345; // recorded: the file is not read
    ASSERT_TRUE(QFile::remove(entry.body.file));
    EXPECT_EQ(entry.knownSize(), 12345);
    entry.size = CacheEntry::kUnknownSize;
    EXPECT_EQ(entry.knownSize(), std::nullopt);
}

} // namespace
