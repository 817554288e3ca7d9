#include "engine/cache/ContentDecoder.h"

#include "TestEncoder.h"
#include "TestFolders.h"

#include <gtest/gtest.h>

namespace
{

QByteArray readTestFile(const QString& relativePath)
{
    return fileBytes(QStringLiteral(WEBGLEANER_TEST_DATA "/") + relativePath);
}

const QByteArray kText = QByteArrayLiteral("<html><head><title>A page</title></head><body>") +
                         QByteArray("Some text that repeats. ").repeated(200) + QByteArrayLiteral("</body></html>");

// Bodies as Firefox stored them from a local test server (see tests/data/encodings/README.txt), each with
// the file the server had.
struct StoredFixture
{
    const char* name;
    const char* storedFile;
    const char* encoding;
    const char* originalFile;
};

std::ostream& operator<<(std::ostream& out, const StoredFixture& fixture)
{
    return out << fixture.name;
}

class StoredBodies : public testing::TestWithParam<StoredFixture>
{};

TEST_P(StoredBodies, DecodeToTheServersFile)
{
    const QByteArray stored = readTestFile(QString::fromLatin1(GetParam().storedFile));
    const QByteArray original = readTestFile(QString::fromLatin1(GetParam().originalFile));
    ASSERT_FALSE(stored.isEmpty());
    ASSERT_FALSE(original.isEmpty());
    EXPECT_EQ(ContentDecoder::decode(stored, QString::fromLatin1(GetParam().encoding)), original);
}

INSTANTIATE_TEST_SUITE_P(
    ContentDecoder, StoredBodies,
    testing::Values(StoredFixture{"Gzip", "encodings/upper.html.gz", "gzip", "encodings/upper.html"},
                    StoredFixture{"Deflate", "encodings/notes.txt.deflate", "deflate", "encodings/notes.txt"},
                    StoredFixture{"Brotli", "encodings/app.js.br", "br", "encodings/app.js"},
                    StoredFixture{"Zstd", "encodings/print.css.zst", "zstd", "encodings/print.css"}),
    [](const testing::TestParamInfo<StoredFixture>& testInfo) { return testInfo.param.name; });

struct DecodeCase
{
    const char* name;
    QByteArray stored;
    QString encoding;
    std::optional<QByteArray> decoded;
};

std::ostream& operator<<(std::ostream& out, const DecodeCase& c)
{
    return out << c.name;
}

std::vector<DecodeCase> decodeCases()
{
    const QByteArray other = QByteArrayLiteral("a second part, encoded on its own");
    const QByteArray gzipped = TestEncoder::gzip(kText);
    const QByteArray brotli = TestEncoder::brotli(kText);
    const QByteArray zstd = TestEncoder::zstdStreamed(kText);
    const QByteArray zlib = TestEncoder::zlibDeflate(kText);
    // A gzip member whose header carries a file name, as `gzip` on the command line writes it.
    QByteArray gzipWithName = gzipped;
    gzipWithName[3] = 0x08; // FNAME
    gzipWithName.insert(10, QByteArray("page.html\0", 10));
    QByteArray zstdSkippable("\x50\x2a\x4d\x18\x04\x00\x00\x00skip", 12);
    // Every optional header field: extra (4 bytes), name, comment, header CRC (not checked).
    QByteArray gzipWithEveryField = gzipped;
    gzipWithEveryField[3] = 0x1e; // FEXTRA | FNAME | FCOMMENT | FHCRC
    gzipWithEveryField.insert(10, QByteArray("\x04\x00"
                                             "xy\0\0"
                                             "page.html\0"
                                             "a comment\0"
                                             "\x12\x34",
                                             28));
    // Deflate data whose first block has the reserved type: corrupt from its first bits.
    QByteArray corruptGzip = gzipped;
    corruptGzip[10] = 0x07;
    const QByteArray storedGzip = TestEncoder::gzipStored(kText);
    const QByteArray storedZlib = TestEncoder::zlibStored(kText);
    // Damage as browsers take it: a gzip or deflate body keeps what inflated, whatever its trailer says.
    const auto withTrailerByte = [](QByteArray bytes, qsizetype fromEnd) {
        bytes[bytes.size() - fromEnd] = char(bytes[bytes.size() - fromEnd] ^ 0x55);
        return bytes;
    };

    return {
        {"Identity", kText, QStringLiteral("identity"), kText},
        {"NoEncoding", kText, QString(), kText},
        {"Gzip", gzipped, QStringLiteral("gzip"), kText},
        {"XGzip", gzipped, QStringLiteral("x-gzip"), kText},
        {"NameInAnyCaseAndSpacing", gzipped, QStringLiteral(" GZip "), kText},
        {"GzipWithFileName", gzipWithName, QStringLiteral("gzip"), kText},
        {"GzipMembersConcatenated", gzipped + TestEncoder::gzip(other), QStringLiteral("gzip"), kText + other},
        {"GzipThenPadding", gzipped + QByteArray(7, '\0'), QStringLiteral("gzip"), kText},
        {"DeflateZlibWrapped", zlib, QStringLiteral("deflate"), kText},
        {"DeflateRaw", TestEncoder::rawDeflate(kText), QStringLiteral("deflate"), kText},
        {"Brotli", brotli, QStringLiteral("br"), kText},
        {"ZstdWithContentSize", TestEncoder::zstdWithContentSize(kText), QStringLiteral("zstd"), kText},
        {"ZstdStreamed", zstd, QStringLiteral("zstd"), kText},
        {"ZstdFramesConcatenated", zstd + TestEncoder::zstdWithContentSize(other), QStringLiteral("zstd"),
         kText + other},
        {"ZstdSkippableFrameFirst", zstdSkippable + zstd, QStringLiteral("zstd"), kText},
        {"TwoCodingsUndoneRightToLeft", TestEncoder::brotli(gzipped), QStringLiteral("gzip, br"), kText},
        {"IdentityInAList", gzipped, QStringLiteral("identity, gzip"), kText},
        {"EmptyBodyWithAnEncoding", QByteArray(), QStringLiteral("br"), QByteArray()},
        {"EmptyGzipMember", TestEncoder::gzip(QByteArray()), QStringLiteral("gzip"), QByteArray()},

        {"GzipWithEveryHeaderField", gzipWithEveryField, QStringLiteral("gzip"), kText},
        // Browsers show a body whose coding they do not know as it came; so is it kept.
        {"UnknownEncoding", kText, QStringLiteral("compress"), kText},
        {"UnknownEncodingInAList", gzipped, QStringLiteral("gzip, sdch"), gzipped},

        {"GzipWrongCrc", withTrailerByte(gzipped, 8), QStringLiteral("gzip"), kText},
        {"GzipWrongLength", withTrailerByte(gzipped, 1), QStringLiteral("x-gzip"), kText},
        {"GzipTrailerCut", gzipped.chopped(5), QStringLiteral("gzip"), kText},
        {"GzipWithoutTrailer", gzipped.chopped(8), QStringLiteral("gzip"), kText},
        {"GzipCutInItsLastBlock", storedGzip.chopped(8 + 100), QStringLiteral("gzip"), kText.chopped(100)},
        {"GzipSecondMemberCut", gzipped + TestEncoder::gzip(other).first(6), QStringLiteral("gzip"), kText},
        {"GzipThenNotAMember", gzipped + QByteArray("\x1f\x8b\x09 not a member"), QStringLiteral("gzip"), kText},
        {"DeflateZlibWrongAdler", withTrailerByte(zlib, 2), QStringLiteral("deflate"), kText},
        {"DeflateZlibWithoutAdler", zlib.chopped(4), QStringLiteral("deflate"), kText},
        {"DeflateZlibCutInItsLastBlock", storedZlib.chopped(4 + 100), QStringLiteral("deflate"), kText.chopped(100)},
        {"DeflateRawCutInItsLastBlock", storedZlib.sliced(2).chopped(4 + 100), QStringLiteral("deflate"),
         kText.chopped(100)},

        {"TooManyCodings", gzipped, QStringLiteral("identity, identity, identity, gzip, gzip, gzip, gzip, gzip"),
         std::nullopt},
        {"GzipOnPlainText", kText, QStringLiteral("gzip"), std::nullopt},
        {"GzipHeaderOnly", gzipped.first(10), QStringLiteral("gzip"), std::nullopt},
        {"GzipCutInItsHeader", gzipWithEveryField.first(20), QStringLiteral("gzip"), std::nullopt},
        {"GzipReservedFlag", QByteArray("\x1f\x8b\x08\x20", 4) + gzipped.sliced(4), QStringLiteral("gzip"),
         std::nullopt},
        {"GzipCorruptData", corruptGzip, QStringLiteral("gzip"), std::nullopt},
        {"GzipSecondMemberCorrupt", gzipped + corruptGzip, QStringLiteral("gzip"), std::nullopt},
        {"DeflateOnPlainText", kText, QStringLiteral("deflate"), std::nullopt},
        {"DeflatePresetDictionary", QByteArray("\x78\x20\0\0\0\1", 6) + zlib.sliced(2), QStringLiteral("deflate"),
         std::nullopt},
        {"DeflateHeaderOnly", zlib.first(2), QStringLiteral("deflate"), std::nullopt},
        {"BrotliTruncated", brotli.first(brotli.size() - 3), QStringLiteral("br"), std::nullopt},
        {"BrotliOnPlainText", kText, QStringLiteral("br"), std::nullopt},
        {"ZstdTruncated", zstd.first(zstd.size() - 3), QStringLiteral("zstd"), std::nullopt},
        {"ZstdThenGarbage", zstd + QByteArrayLiteral("garbage"), QStringLiteral("zstd"), std::nullopt},
        {"ZstdOnPlainText", kText, QStringLiteral("zstd"), std::nullopt},
        // Browsers refuse windows over 8 MB for HTTP content; such a body cannot be what a page showed.
        {"ZstdWindowOver8MB", TestEncoder::zstdStreamed(kText, 24), QStringLiteral("zstd"), std::nullopt},
        {"ZstdWindowOf8MB", TestEncoder::zstdStreamed(kText, 23), QStringLiteral("zstd"), kText},
    };
}

class Decode : public testing::TestWithParam<DecodeCase>
{};

TEST_P(Decode, GivesTheBodyOrNothing)
{
    EXPECT_EQ(ContentDecoder::decode(GetParam().stored, GetParam().encoding), GetParam().decoded);
}

// Collects what a decoder hands on, and the largest piece it handed on at once.
class CollectingSink final : public ByteSink
{
public:
    bool write(QByteArrayView bytes) override
    {
        collected.append(bytes);
        largestPiece = std::max(largestPiece, bytes.size());
        return true;
    }

    QByteArray collected;
    qsizetype largestPiece = 0;
};

TEST_P(Decode, GivesTheSameWhenTheStoredBytesComeInPieces)
{
    for (const qsizetype pieceSize : {1, 7, 4096}) {
        SCOPED_TRACE(pieceSize);
        CollectingSink sink;
        ContentDecoder decoder(GetParam().encoding, sink);
        const QByteArray& stored = GetParam().stored;
        for (qsizetype at = 0;
             at < stored.size() &&
             decoder.write(QByteArrayView(stored).sliced(at).first(std::min(pieceSize, stored.size() - at)));
             at += pieceSize) {
        }
        const bool decoded = decoder.finish() == ContentDecoder::Outcome::Decoded;
        EXPECT_EQ(decoded ? std::optional<QByteArray>(sink.collected) : std::nullopt, GetParam().decoded);
        EXPECT_LE(sink.largestPiece, ContentDecoder::kOutputChunk);
    }
}

INSTANTIATE_TEST_SUITE_P(ContentDecoder, Decode, testing::ValuesIn(decodeCases()),
                         [](const testing::TestParamInfo<DecodeCase>& testInfo) { return testInfo.param.name; });

// Each coding stops a body that decodes past the cap, and still decodes one of exactly the cap.
struct Encoder
{
    const char* name;
    const char* encoding;
    QByteArray (*encode)(const QByteArray&);
};

std::ostream& operator<<(std::ostream& out, const Encoder& encoder)
{
    return out << encoder.name;
}

class DecompressionBomb : public testing::TestWithParam<Encoder>
{};

TEST_P(DecompressionBomb, IsCutOffAtTheCap)
{
    const QByteArray plain(4 * 1024 * 1024, 'z');
    const QByteArray stored = GetParam().encode(plain);
    ASSERT_LT(stored.size(), plain.size() / 100);
    const QString encoding = QString::fromLatin1(GetParam().encoding);
    EXPECT_EQ(ContentDecoder::decode(stored, encoding, plain.size() - 1), std::nullopt);
    EXPECT_EQ(ContentDecoder::decode(stored, encoding, plain.size()), plain);
    // A stream stops at the cap, and says why; the sink never has a byte past it.
    CollectingSink sink;
    ContentDecoder decoder(encoding, sink, plain.size() - 1);
    decoder.write(stored);
    EXPECT_EQ(decoder.finish(), ContentDecoder::Outcome::TooLarge);
    EXPECT_LT(sink.collected.size(), plain.size());
}

INSTANTIATE_TEST_SUITE_P(ContentDecoder, DecompressionBomb,
                         testing::Values(Encoder{"Gzip", "gzip", &TestEncoder::gzip},
                                         Encoder{"Deflate", "deflate", &TestEncoder::rawDeflate},
                                         Encoder{"Brotli", "br", &TestEncoder::brotli},
                                         Encoder{"ZstdWithContentSize", "zstd", &TestEncoder::zstdWithContentSize},
                                         Encoder{
                                             "ZstdStreamed", "zstd",
                                             [](const QByteArray& plain) { return TestEncoder::zstdStreamed(plain); }}),
                         [](const testing::TestParamInfo<Encoder>& testInfo) { return testInfo.param.name; });

TEST(ContentDecoder, DecodesALargeBody)
{
    const QByteArray plain = TestEncoder::incompressible(3 * 1024 * 1024) + QByteArray(5 * 1024 * 1024, 'x');
    for (const auto& [encoding, stored] : {std::pair{QStringLiteral("gzip"), TestEncoder::gzip(plain)},
                                           std::pair{QStringLiteral("br"), TestEncoder::brotli(plain)},
                                           std::pair{QStringLiteral("zstd"), TestEncoder::zstdStreamed(plain)}}) {
        EXPECT_EQ(ContentDecoder::decode(stored, encoding), plain) << encoding.toStdString();
    }
}

struct SizeHintCase
{
    const char* name;
    QByteArray head;
    QByteArray tail;
    qint64 storedLength;
    QString encoding;
    std::optional<qint64> size;
};

std::ostream& operator<<(std::ostream& out, const SizeHintCase& c)
{
    return out << c.name;
}

// The first and last bytes of a body, as a reader that does not load it whole hands them over.
SizeHintCase edgesOf(const char* name, const QByteArray& stored, const QString& encoding, std::optional<qint64> size)
{
    return {name, stored.first(std::min<qsizetype>(stored.size(), 32)), stored.right(32), stored.size(), encoding,
            size};
}

// The trailer of a gzip body of `storedLength` bytes that claims `claimedSize`.
SizeHintCase gzipClaiming(const char* name, qint64 storedLength, quint32 claimedSize, std::optional<qint64> size)
{
    const QByteArray head = TestEncoder::gzip(kText).first(10);
    QByteArray tail(8, '\0');
    for (int i = 0; i < 4; ++i)
        tail[4 + i] = static_cast<char>(claimedSize >> (8 * i));
    return {name, head, tail, storedLength, QStringLiteral("gzip"), size};
}

std::vector<SizeHintCase> sizeHintCases()
{
    const qint64 textSize = kText.size();
    const QByteArray gzipped = TestEncoder::gzip(kText);
    const QByteArray oneZstdFrame = TestEncoder::zstdWithContentSize(kText);
    const QByteArray printCss = readTestFile(QStringLiteral("encodings/print.css.zst"));
    const QByteArray upperHtml = readTestFile(QStringLiteral("encodings/upper.html.gz"));
    return {
        {"Identity", "abc", "abc", 12345, QString(), 12345},
        {"IdentityNamed", "abc", "abc", 12345, QStringLiteral("identity"), 12345},
        {"EmptyBody", QByteArray(), QByteArray(), 0, QStringLiteral("br"), 0},
        edgesOf("GzipTrailer", gzipped, QStringLiteral("gzip"), textSize),
        edgesOf("GzipTrailerOfAFirefoxBody", upperHtml, QStringLiteral("gzip"), 1770),
        edgesOf("XGzipTrailer", gzipped, QStringLiteral("x-gzip"), textSize),
        // Under about 4 MB stored, no body can be 4 GiB longer than its trailer says.
        gzipClaiming("GzipTrailerOfA4MBBody", 4'000'000, 5'000'000, 5'000'000),
        gzipClaiming("GzipTrailerThatMayHaveWrapped", 8'000'000, 5'000'000, std::nullopt),
        gzipClaiming("GzipTrailerOverTheCap", 2'000'000, 0x7000'0000, std::nullopt),
        edgesOf("GzipShorterThanAMember", gzipped.first(3), QStringLiteral("gzip"), std::nullopt),
        edgesOf("GzipWithoutMagic", kText, QStringLiteral("gzip"), std::nullopt),
        {"ZstdWholeSingleFrame", oneZstdFrame, oneZstdFrame.right(8), oneZstdFrame.size(), QStringLiteral("zstd"),
         textSize},
        // Only the first bytes: a second frame might follow, so the first one's size proves nothing.
        edgesOf("ZstdFrameHeaderOnly", oneZstdFrame, QStringLiteral("zstd"), std::nullopt),
        {"ZstdTwoFrames", oneZstdFrame + oneZstdFrame, oneZstdFrame.right(8), 2 * oneZstdFrame.size(),
         QStringLiteral("zstd"), std::nullopt},
        {"ZstdWithoutContentSize", printCss, printCss.right(8), printCss.size(), QStringLiteral("zstd"), std::nullopt},
        edgesOf("Brotli", TestEncoder::brotli(kText), QStringLiteral("br"), std::nullopt),
        edgesOf("Deflate", TestEncoder::zlibDeflate(kText), QStringLiteral("deflate"), std::nullopt),
        edgesOf("TwoCodings", TestEncoder::gzip(gzipped), QStringLiteral("gzip, gzip"), std::nullopt),
        edgesOf("UnknownEncoding", gzipped, QStringLiteral("compress"), gzipped.size()),
        {"NegativeLength", "abc", "abc", -1, QString(), std::nullopt},
    };
}

class SizeHint : public testing::TestWithParam<SizeHintCase>
{};

TEST_P(SizeHint, ReadsTheSizeOffTheStoredBytesOrDeclines)
{
    const SizeHintCase& c = GetParam();
    EXPECT_EQ(ContentDecoder::sizeHint(c.head, c.tail, c.storedLength, c.encoding), c.size);
}

INSTANTIATE_TEST_SUITE_P(ContentDecoder, SizeHint, testing::ValuesIn(sizeHintCases()),
                         [](const testing::TestParamInfo<SizeHintCase>& testInfo) { return testInfo.param.name; });

} // namespace
