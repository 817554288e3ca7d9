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

#include <limits>
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
        // Bytes that do not decode under a known coding are not its body; an unknown coding's are all there is.
        ReadCase{"CorruptGzipIsUndecodable", kBody, QStringLiteral("gzip"), 0, 0, true, std::nullopt,
                 Refusal::Undecodable},
        ReadCase{"UnknownEncodingGivenAsStored", kBody, QStringLiteral("sdch"), 0, 0, true, std::nullopt, kBody},
        ReadCase{"GzipWithoutTrailerGivesWhatInflated", TestEncoder::gzip(kBody).chopped(8), QStringLiteral("gzip"), 0,
                 0, true, std::nullopt, kBody},
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
    explicit ChunkSink(int refuseAfter = -1) : refuseAfter_(refuseAfter) {}

    bool write(QByteArrayView bytes) override
    {
        if (int(chunks.size()) == refuseAfter_)
            return false;
        chunks.push_back(bytes.size());
        total += bytes.size();
        return true;
    }

    std::vector<qsizetype> chunks;
    qint64 total = 0;

private:
    const int refuseAfter_;
};

class BodyFile : public testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(dir_.isValid()); }

    StoredBody bodyOf(const QByteArray& stored, const QString& encoding, const QString& name = QStringLiteral("body"))
    {
        StoredBody body;
        body.file = QDir(dir_.path()).filePath(name);
        body.length = stored.size();
        body.contentEncoding = encoding;
        EXPECT_TRUE(writeFileBytes(body.file, stored));
        return body;
    }

    QTemporaryDir dir_;
};

TEST_F(BodyFile, AnUndecodableBodyIsRefused)
{
    const StoredBody body = bodyOf(kBody, QStringLiteral("br"));
    ChunkSink sink;
    EXPECT_EQ(EntryBody::stream(body, sink), Refusal::Undecodable);
    EXPECT_EQ(EntryBody::read(body, EntryBody::kMaxDecodedSize), BodyOrRefusal(Refusal::Undecodable));
    EXPECT_EQ(EntryBody::decodedSize(body), (std::variant<qint64, Refusal>(Refusal::Undecodable)));
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

    // With the ratio cap lifted, the whole body goes through, in fixed buffers.
    const qint64 peakBefore = peakResidentKiB();
    ChunkSink sink;
    EXPECT_EQ(EntryBody::stream(body, sink, EntryBody::kMaxDecodedSize, kDecoded), Refusal::None);
    EXPECT_EQ(sink.total, kDecoded);
    EXPECT_LE(*std::max_element(sink.chunks.begin(), sink.chunks.end()), ContentDecoder::kOutputChunk);
    EXPECT_EQ(EntryBody::decodedSize(body), (std::variant<qint64, Refusal>(kDecoded)));
    // Run alone (as ctest runs each test), the peak shows what decoding took: nothing like the body's
    // 256 MiB. AddressSanitizer's shadow memory and freed-block quarantine add to it there.
    constexpr qint64 kPeakBoundKiB = (kUnderAddressSanitizer ? 160 : 64) * 1024;
    EXPECT_LT(peakResidentKiB() - peakBefore, kPeakBoundKiB);

    // The ratio cap stops it (at the floor, or at gzip's few hundred KB times the ratio); a size cap below
    // that stops it first.
    ChunkSink amplified;
    EXPECT_EQ(EntryBody::stream(body, amplified), Refusal::Amplified);
    EXPECT_LE(amplified.total, EntryBody::decodedCap(body.length));
    EXPECT_LT(EntryBody::decodedCap(body.length), kDecoded / 2);
    EXPECT_EQ(EntryBody::decodedSize(body, kDecoded - 1), (std::variant<qint64, Refusal>(Refusal::TooLarge)));
    EXPECT_EQ(EntryBody::read(body, 1 << 20), BodyOrRefusal(Refusal::TooLarge));

    // Counting writes nothing: the size is known even where saving is refused.
    CacheEntry entry;
    entry.body = body;
    EXPECT_EQ(entry.knownSize(), kDecoded);
}

INSTANTIATE_TEST_SUITE_P(EntryBody, BodyBomb,
                         testing::Values(Bomb{"gzip", &TestEncoder::gzipOfZeros},
                                         Bomb{"br", &TestEncoder::brotliOfZeros},
                                         Bomb{"zstd", &TestEncoder::zstdOfZeros}),
                         [](const testing::TestParamInfo<Bomb>& testInfo) { return testInfo.param.encoding; });

TEST(EntryBody, DecodedCapIsTheFloorOrTheRatioWithinTheSizeCap)
{
    constexpr qint64 kFloor = EntryBody::kDecodedFloor;
    constexpr qint64 kRatio = EntryBody::kMaxDecodedRatio;
    constexpr qint64 kMax = EntryBody::kMaxDecodedSize;
    struct Case
    {
        const char* name;
        qint64 stored;
        qint64 maxDecodedSize;
        qint64 cap;
    };
    const Case cases[] = {
        {"Empty", 0, kMax, kFloor},
        {"SmallBodyGetsTheFloor", 1000, kMax, kFloor},
        {"AtTheFloor", kFloor / kRatio, kMax, kFloor},
        {"PastTheFloorByItsRatio", kFloor / kRatio + 1, kMax, kFloor + kRatio},
        {"LargeBodyByItsRatio", 1 << 20, kMax, qint64(1 << 20) * kRatio},
        {"SizeCapBelowBoth", 1 << 20, 1 << 20, 1 << 20},
        {"HugeStoredSizeDoesNotOverflow", std::numeric_limits<qint64>::max() / 2, kMax, kMax},
        {"NegativeLength", -5, kMax, kFloor},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(EntryBody::decodedCap(c.stored, c.maxDecodedSize), c.cap);
    }
}

// Coded bodies that decode to far more than they are stored in, and what stream() makes of them.
TEST_F(BodyFile, AmplifyingBodiesStopAtTheirCap)
{
    constexpr qint64 kPastTheFloor = 2 * EntryBody::kDecodedFloor;
    const QByteArray gzipBomb = TestEncoder::gzipOfZeros(kPastTheFloor);
    // The ratio at which this body's size is exactly what it may decode to.
    const qint64 bombRatio = kPastTheFloor / gzipBomb.size();
    struct Case
    {
        const char* name;
        QByteArray stored;
        const char* encoding;
        qint64 maxRatio;
        Refusal refusal;
        qint64 delivered; // the whole body when delivered; at most this when refused
    };
    const Case cases[] = {
        {"GzipBomb", gzipBomb, "gzip", EntryBody::kMaxDecodedRatio, Refusal::Amplified, EntryBody::kDecodedFloor},
        {"GzipInGzipBomb", TestEncoder::gzip(gzipBomb), "gzip, gzip", EntryBody::kMaxDecodedRatio, Refusal::Amplified,
         EntryBody::kDecodedFloor},
        {"BrotliBomb", TestEncoder::brotliOfZeros(kPastTheFloor), "br", EntryBody::kMaxDecodedRatio, Refusal::Amplified,
         EntryBody::kDecodedFloor},
        {"ZstdBomb", TestEncoder::zstdOfZeros(kPastTheFloor), "zstd", EntryBody::kMaxDecodedRatio, Refusal::Amplified,
         EntryBody::kDecodedFloor},
        // Past the floor, a body may make its ratio times its stored size, and not a byte more.
        {"WithinItsRatio", gzipBomb, "gzip", bombRatio + 1, Refusal::None, kPastTheFloor},
        {"JustPastItsRatio", gzipBomb, "gzip", bombRatio - 1, Refusal::Amplified, (bombRatio - 1) * gzipBomb.size()},
        // Under the floor, any ratio goes.
        {"UnderTheFloor", TestEncoder::gzipOfZeros(EntryBody::kDecodedFloor), "gzip", EntryBody::kMaxDecodedRatio,
         Refusal::None, EntryBody::kDecodedFloor},
        // Not decoded, so not capped: as large as it is stored, under any ratio.
        {"Identity", kBody, "", 0, Refusal::None, kBody.size()},
        {"UnknownCoding", kBody, "compress", 0, Refusal::None, kBody.size()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const StoredBody body = bodyOf(c.stored, QString::fromLatin1(c.encoding));
        ChunkSink sink;
        EXPECT_EQ(EntryBody::stream(body, sink, EntryBody::kMaxDecodedSize, c.maxRatio), c.refusal);
        if (c.refusal == Refusal::None)
            EXPECT_EQ(sink.total, c.delivered);
        else
            EXPECT_LE(sink.total, c.delivered);
    }
}

TEST_F(BodyFile, ASpentBudgetRefusesCodedBodiesWhileItsScopeLives)
{
    // 4 MiB from a few KB: within the body's own caps, past a budget of 1 MiB.
    const StoredBody bomb = bodyOf(TestEncoder::gzipOfZeros(4 << 20), QStringLiteral("gzip"), QStringLiteral("bomb"));
    const StoredBody page = bodyOf(TestEncoder::gzip(kBody), QStringLiteral("gzip"), QStringLiteral("page"));
    const StoredBody picture = bodyOf(kBody, QString(), QStringLiteral("picture"));
    const StoredBody unknown = bodyOf(kBody, QStringLiteral("compress"), QStringLiteral("unknown"));
    const auto readWhole = [](const StoredBody& body) { return EntryBody::read(body, EntryBody::kMaxDecodedSize); };

    // Without a floor, a budget lets through what its bodies make at its ratio.
    DecodingBudget byRatio(0, EntryBody::kMaxDecodedRatio);
    {
        const EntryBody::BudgetScope scope(&byRatio);
        EXPECT_EQ(readWhole(page), BodyOrRefusal(kBody));
        EXPECT_FALSE(scope.refusedAny());
    }

    DecodingBudget budget(1 << 20, EntryBody::kMaxDecodedRatio);
    {
        const EntryBody::BudgetScope scope(&budget);
        ChunkSink sink;
        EXPECT_EQ(EntryBody::stream(bomb, sink), Refusal::BudgetSpent);
        EXPECT_LE(sink.total, 1 << 20);
        EXPECT_TRUE(budget.isSpent());
        EXPECT_TRUE(scope.refusedAny());
        // Spent for good: every coded body is refused at once; bodies that are not decoded are delivered.
        EXPECT_EQ(readWhole(page), BodyOrRefusal(Refusal::BudgetSpent));
        EXPECT_EQ(readWhole(picture), BodyOrRefusal(kBody));
        EXPECT_EQ(readWhole(unknown), BodyOrRefusal(kBody));
        // Counting writes nothing and draws on no budget.
        EXPECT_EQ(EntryBody::decodedSize(bomb), (std::variant<qint64, Refusal>(4 << 20)));
        {
            const EntryBody::BudgetScope none(nullptr);
            EXPECT_EQ(readWhole(page), BodyOrRefusal(kBody));
            EXPECT_FALSE(none.refusedAny());
        }
    }
    EXPECT_EQ(readWhole(page), BodyOrRefusal(kBody));
}

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
