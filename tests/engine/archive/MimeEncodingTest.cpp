#include "engine/archive/MimeEncoding.h"

#include "engine/archive/StrictMimeReader.h"
#include "engine/cache/CollectingSink.h"

#include <gtest/gtest.h>
#include <random>

namespace
{

struct QuotedPrintableCase
{
    const char* name;
    QByteArray text;
    QByteArrayList encoded;
};

TEST(MimeEncodingTest, QuotedPrintableEscapesAndBreaksLines)
{
    const QByteArray x72(72, 'x');
    const QByteArray x73(73, 'x');
    const QByteArray x75(75, 'x');
    const QByteArray x76(76, 'x');
    // clang-format off
    const QuotedPrintableCase cases[] = {
        {"no text is one empty line", "",                      {""}},
        {"CR LF breaks the line",     "a\r\nb",                {"a", "b"}},
        {"a final CR LF ends a line", "a\r\n",                 {"a", ""}},
        {"LF alone escaped",          "a\nb",                  {"a=0A=", "b"}},
        {"CR alone escaped",          "a\rb\r",                {"a=0D=", "b=0D"}},
        {"LF CR are both alone",      "a\n\rb",                {"a=0A=", "=0D=", "b"}},
        {"LF before CR LF",           "a\n\r\nb",              {"a=0A", "b"}},
        {"NUL escaped",               QByteArray("a\0b", 3),   {"a=00b"}},
        {"blank before LF escaped",   "a \nb\t",               {"a=20=0A=", "b=09"}},
        {"blank before NUL stays",    QByteArray("a \0", 3),   {"a =00"}},
        {"LF alone fits at 75",       x72 + "\ny",             {x72 + "=0A=", "y"}},
        {"LF alone past 75 moves on", x73 + "\ny",             {x73 + "=", "=0A=", "y"}},
        {"plain text stays",          "body { margin: 0; }",   {"body { margin: 0; }"}},
        {"empty line stays a line",   "",                      {""}},
        {"equals sign escaped",       "a=b",                   {"a=3Db"}},
        {"trailing space escaped",    "a ",                    {"a=20"}},
        {"trailing tab escaped",      "a\t",                   {"a=09"}},
        {"inner space and tab stay",  "a \tb",                 {"a \tb"}},
        {"upper-case hex for bytes",  "\xE4\xB8\xAD\x7F",      {"=E4=B8=AD=7F"}},
        {"76 characters fit",         x76,                     {x76}},
        {"77 characters break",       x76 + "y",               {x75 + "=", "xy"}},
        {"escape kept whole",         QByteArray(74, 'x') + "=y", {QByteArray(74, 'x') + "=", "=3Dy"}},
        {"escape ending at 75 fits",  QByteArray(72, 'x') + "=yyy", {QByteArray(72, 'x') + "=3D=", "yyy"}},
        {"escape past 75 moves on",   QByteArray(73, 'x') + "=yyy", {QByteArray(73, 'x') + "=", "=3Dyyy"}},
        {"space before a soft break", QByteArray(74, 'x') + " yy", {QByteArray(74, 'x') + " =", "yy"}},
        {"long escapes split evenly", QByteArray(30, '\xFF'), {QByteArray("=FF").repeated(25) + "=", QByteArray("=FF").repeated(5)}},
    };
    // clang-format on
    for (const QuotedPrintableCase& c : cases) {
        SCOPED_TRACE(c.name);
        const QByteArrayList encoded = MimeEncoding::quotedPrintable(c.text);
        EXPECT_EQ(encoded, c.encoded);
        for (const QByteArray& line : encoded)
            EXPECT_LE(line.size(), MimeEncoding::kMaxLineLength);
    }
    EXPECT_EQ(MimeEncoding::quotedPrintable("a\r\n\r\nb="), QByteArrayList({"a", "", "b=3D"}));
}

TEST(MimeEncodingTest, Base64LinesHold57BytesEach)
{
    struct Case
    {
        int bytes;
        QList<int> lineLengths;
        QByteArray lastLineEnd;
    };
    // clang-format off
    const Case cases[] = {
        {0,   {},           ""},
        {1,   {4},          "=="},
        {2,   {4},          "="},
        {57,  {76},         ""},
        {58,  {76, 4},      "=="},
        {114, {76, 76},     ""},
        {115, {76, 76, 4},  "=="},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        QByteArray bytes;
        for (int i = 0; i < c.bytes; ++i)
            bytes += static_cast<char>(i * 7);
        const QByteArrayList lines = MimeEncoding::base64Lines(bytes);
        QList<int> lengths;
        for (const QByteArray& line : lines)
            lengths << static_cast<int>(line.size());
        EXPECT_EQ(lengths, c.lineLengths);
        if (!lines.isEmpty()) {
            EXPECT_TRUE(lines.last().endsWith(c.lastLineEnd));
            EXPECT_EQ(QByteArray::fromBase64(lines.join()), bytes);
        }
    }
}

const auto crlf = &CollectingSink::crlf;

// What a writer makes of `input` handed over in chunks of the given sizes, taken in turn.
template <typename Writer>
std::optional<QByteArray> streamed(const QByteArray& input, const QList<qsizetype>& chunkSizes)
{
    qsizetype turn = 0;
    return CollectingSink::through<Writer>(input, [&](qsizetype) { return chunkSizes[turn++ % chunkSizes.size()]; });
}

// The writers give what the list functions give.
QByteArray wholeQuotedPrintable(const QByteArray& text)
{
    return crlf(MimeEncoding::quotedPrintable(text));
}

// What a strict reader decodes from what the quoted-printable writer wrote, whose last CR LF a delimiter
// line owns; the reader's complaint where it refuses the text.
QByteArray decodedQuotedPrintable(const QByteArray& written)
{
    if (!written.endsWith("\r\n"))
        return "no line end at the end";
    QByteArray decoded;
    QByteArray error;
    if (!StrictMimeReader::detail::decodeQuotedPrintable(written.chopped(2), decoded, error))
        return "refused: " + error;
    return decoded;
}

QByteArray wholeBase64(const QByteArray& bytes)
{
    return crlf(MimeEncoding::base64Lines(bytes));
}

// The base64 writer as on a processor without vector instructions.
class ScalarBase64Writer final : public ByteSink
{
public:
    explicit ScalarBase64Writer(ByteSink& out) : writer_(out, MimeEncoding::Base64Writer::Instructions::Scalar) {}
    bool write(QByteArrayView bytes) override { return writer_.write(bytes); }
    bool finish() { return writer_.finish(); }

private:
    MimeEncoding::Base64Writer writer_;
};

const QList<qsizetype> kChunkSizes{1, 2, 3, 57, 4096};

TEST(MimeEncodingTest, QuotedPrintableWriterMatchesTheLinesWhateverTheChunks)
{
    struct Case
    {
        const char* name;
        QByteArray text;
    };
    // clang-format off
    const Case cases[] = {
        {"no text",                       ""},
        {"one line without a break",      "a { b: c; }"},
        {"CR LF is one break",            "a\r\nb\r\n"},
        {"CR and LF alone",               "a\rb\nc"},
        {"CR, CR LF",                     "a\r\r\nb"},
        {"LF CR is two breaks",           "a\n\rb"},
        {"empty lines kept",              "\n\n\r\n"},
        {"final break",                   "a\n"},
        {"blank before CR LF escaped",    "a \r\nb\t\r\n"},
        {"blank at the end escaped",      "a\t"},
        {"blanks inside kept",            "a \t b  \n"},
        {"NUL is a byte like any other",  QByteArray("ab \0cd\nef", 9)},
        {"NUL after CR",                  QByteArray("ab\r\0\nc", 7)},
        {"CR at a chunk's end",           "a\r"},
        {"blank and LF after a lone LF",  "a\n \n\t"},
        {"lone breaks at the line's end", QByteArray(73, 'x') + "\n" + QByteArray(74, 'x') + "\r" + QByteArray(75, 'x') + "\n\n"},
        {"soft break before an escape",   QByteArray(74, 'x') + "=y\n"},
        {"blank escaped at a soft break", QByteArray(75, 'x') + " \n" + QByteArray(73, 'x') + " \n"},
        {"long line of escapes",          QByteArray(300, '\xFF')},
        {"long mixed line",               QByteArray("a=b c\xE4\t").repeated(40) + "\r\n" + QByteArray(200, 'x')},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QByteArray expected = wholeQuotedPrintable(c.text);
        EXPECT_EQ(decodedQuotedPrintable(expected), c.text);
        for (const qsizetype chunk : kChunkSizes) {
            SCOPED_TRACE(chunk);
            EXPECT_EQ(streamed<MimeEncoding::QuotedPrintableWriter>(c.text, {chunk}), expected);
        }
    }
}

TEST(MimeEncodingTest, Base64WriterMatchesTheLinesWhateverTheChunks)
{
    for (const int size : {0, 1, 2, 3, 56, 57, 58, 113, 114, 115, 4097, 200000}) {
        SCOPED_TRACE(size);
        QByteArray bytes;
        for (int i = 0; i < size; ++i)
            bytes += static_cast<char>(i * 7 + i / 256);
        const QByteArray expected = wholeBase64(bytes);
        for (const qsizetype chunk : kChunkSizes) {
            SCOPED_TRACE(chunk);
            EXPECT_EQ(streamed<MimeEncoding::Base64Writer>(bytes, {chunk}), expected);
            EXPECT_EQ(streamed<ScalarBase64Writer>(bytes, {chunk}), expected);
        }
    }
}

// Random texts rich in what the encoders decide on (blanks, line breaks, "=", NUL, bytes to escape, long
// lines), handed over in random chunks; each decodes to the text again.
TEST(MimeEncodingTest, WritersMatchTheLinesOnRandomInput)
{
    std::mt19937 random(20240305);
    const QByteArray alphabet("  \t\r\n=xy\xFF\x01", 10);
    for (int round = 0; round < 3000; ++round) {
        QByteArray text(std::uniform_int_distribution<int>(0, 400)(random), Qt::Uninitialized);
        const int kinds = std::uniform_int_distribution<int>(2, static_cast<int>(alphabet.size()))(random);
        for (char& c : text)
            c = alphabet[std::uniform_int_distribution<int>(0, kinds - 1)(random)];
        if (round % 10 == 0 && !text.isEmpty())
            text[std::uniform_int_distribution<qsizetype>(0, text.size() - 1)(random)] = '\0';
        QList<qsizetype> chunks;
        for (int i = 0; i < 5; ++i)
            chunks << std::uniform_int_distribution<qsizetype>(1, 80)(random);
        SCOPED_TRACE(text.toHex().toStdString());
        ASSERT_EQ(streamed<MimeEncoding::QuotedPrintableWriter>(text, chunks), wholeQuotedPrintable(text));
        ASSERT_EQ(decodedQuotedPrintable(wholeQuotedPrintable(text)), text);
        ASSERT_EQ(streamed<MimeEncoding::Base64Writer>(text, chunks), wholeBase64(text));
        ASSERT_EQ(streamed<ScalarBase64Writer>(text, chunks), wholeBase64(text));
    }
}

} // namespace
