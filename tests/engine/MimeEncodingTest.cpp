#include "engine/MimeEncoding.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace
{

struct QuotedPrintableCase
{
    const char* name;
    QByteArray line;
    QByteArrayList encoded;
};

TEST(MimeEncodingTest, QuotedPrintableEscapesAndBreaksLines)
{
    const QByteArray x75(75, 'x');
    const QByteArray x76(76, 'x');
    // clang-format off
    const QuotedPrintableCase cases[] = {
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
        const QByteArrayList encoded = MimeEncoding::quotedPrintable({c.line});
        EXPECT_EQ(encoded, c.encoded);
        for (const QByteArray& line : encoded)
            EXPECT_LE(line.size(), MimeEncoding::kMaxLineLength);
    }
    EXPECT_EQ(MimeEncoding::quotedPrintable({"a", "", "b="}), QByteArrayList({"a", "", "b=3D"}));
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

TEST(MimeEncodingTest, EncodesAFileOrNothing)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("picture.gif");
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("GIF89a");
    file.close();
    EXPECT_EQ(MimeEncoding::EncodeFileBase64(path), QByteArrayList({"R0lGODlh"}));
    EXPECT_TRUE(MimeEncoding::EncodeFileBase64(dir.filePath("missing.gif")).isEmpty());
}

} // namespace
