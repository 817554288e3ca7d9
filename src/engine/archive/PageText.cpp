#include "engine/archive/PageText.h"

#include <QStringDecoder>
#include <optional>

namespace
{

bool isLineBreak(char c)
{
    return c == '\n' || c == '\r';
}

// The character set named at the first "charset=" of `text`, in any letter case; std::nullopt without one.
std::optional<QByteArray> charsetIn(QByteArrayView text)
{
    static constexpr QByteArrayView kCharset = "charset=";
    for (qsizetype equals = text.indexOf('='); equals >= 0; equals = text.indexOf('=', equals + 1)) {
        const qsizetype at = equals + 1 - kCharset.size();
        if (at < 0 || text.sliced(at, kCharset.size()).compare(kCharset, Qt::CaseInsensitive) != 0)
            continue;
        qsizetype start = equals + 1;
        while (start < text.size() && (text[start] == '"' || text[start] == '\'' || text[start] == ' '))
            ++start;
        qsizetype end = start;
        while (end < text.size() && PageText::isCharsetNameCharacter(static_cast<unsigned char>(text[end])))
            ++end;
        return text.sliced(start, end - start).toByteArray().toLower();
    }
    return std::nullopt;
}

// The title of a title line: the text after its "<title>" (or "<TITLE>" where it has none) up to "</title>"
// (or "</TITLE>"), else to the end of the line; std::nullopt for a line without a title tag.
std::optional<QByteArray> titleIn(QByteArrayView line)
{
    qsizetype at = line.indexOf("<title>");
    if (at < 0)
        at = line.indexOf("<TITLE>");
    if (at < 0)
        return std::nullopt;
    QByteArrayView title = line.sliced(at + 7);
    qsizetype end = title.indexOf("</title>");
    if (end < 0)
        end = title.indexOf("</TITLE>");
    if (end >= 0)
        title.truncate(end);
    if (title.size() > PageText::kMaxTitleLength) {
        // Cut at the start of a character in UTF-8, so that a title in it stays valid UTF-8.
        qsizetype cut = PageText::kMaxTitleLength;
        while (cut > 0 && (quint8(title[cut]) & 0xC0) == 0x80)
            --cut;
        title.truncate(cut);
    }
    return title.toByteArray();
}

} // namespace

QByteArrayList PageText::splitLines(QByteArray content)
{
    content.replace("\r\n", "\n");
    content.replace('\r', '\n');
    QByteArrayList lines = content.split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

QByteArray PageText::declaredCharset(const QByteArrayList& lines)
{
    for (const QByteArray& line : lines) {
        if (std::optional<QByteArray> charset = charsetIn(line))
            return *charset;
    }
    return {};
}

QByteArray PageText::declaredCharset(QByteArrayView page)
{
    // A charset name ends at a line break, so the first "charset=" of the page is that of its first line
    // with one.
    return charsetIn(page).value_or(QByteArray());
}

bool PageText::isCharsetNameCharacter(char32_t c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
           c == '.' || c == ':';
}

QString PageText::toUnicode(const QByteArray& bytes, const QByteArray& charset)
{
    QStringDecoder utf8(QStringDecoder::Utf8);
    const QString asUtf8 = utf8.decode(bytes);
    if (!utf8.hasError())
        return asUtf8;
    QStringDecoder declared = decoderFor(charset);
    if (!declared.isValid())
        return asUtf8;
    return declared.decode(bytes);
}

QStringDecoder PageText::decoderFor(const QByteArray& charset)
{
    // Pages labelled gb2312 are GBK in practice, as browsers treat them; the strict GB2312 table would
    // lose the characters it lacks.
    const bool gbk = charset.isEmpty() || charset == "utf-8" || charset == "utf8" || charset.startsWith("gb2312") ||
                     charset == "x-gbk";
    QStringDecoder declared(gbk ? "GBK" : charset.constData());
    if (!declared.isValid())
        declared = QStringDecoder("GBK");
    return declared;
}

QString PageText::title(const QByteArrayList& lines, const QByteArray& charset)
{
    // Every title line used to be tried in turn, but only the last one ever decided the name.
    for (auto line = lines.crbegin(); line != lines.crend(); ++line) {
        if (const std::optional<QByteArray> title = titleIn(*line))
            return toUnicode(*title, charset.isEmpty() ? declaredCharset(lines) : charset);
    }
    return {};
}

QString PageText::title(QByteArrayView page, const QByteArray& charset)
{
    // The last title line is the line of the last title tag in either letter case.
    const qsizetype last = std::max(page.lastIndexOf("<title>"), page.lastIndexOf("<TITLE>"));
    if (last < 0)
        return {};
    qsizetype start = last;
    while (start > 0 && !isLineBreak(page[start - 1]))
        --start;
    qsizetype end = last;
    while (end < page.size() && !isLineBreak(page[end]))
        ++end;
    const std::optional<QByteArray> title = titleIn(page.sliced(start, end - start));
    return toUnicode(title.value_or(QByteArray()), charset.isEmpty() ? declaredCharset(page) : charset);
}
