#include "engine/archive/PageText.h"

#include <QStringDecoder>

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
    static const QByteArray kCharset = "charset=";
    for (const QByteArray& line : lines) {
        const qsizetype at = line.toLower().indexOf(kCharset);
        if (at < 0)
            continue;
        qsizetype start = at + kCharset.size();
        while (start < line.size() && (line[start] == '"' || line[start] == '\'' || line[start] == ' '))
            ++start;
        qsizetype end = start;
        while (end < line.size() && isCharsetNameCharacter(static_cast<unsigned char>(line[end])))
            ++end;
        return line.mid(start, end - start).toLower();
    }
    return {};
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
    // Pages labelled gb2312 are GBK in practice, as browsers treat them; the strict GB2312 table would
    // lose the characters it lacks.
    const bool gbk = charset.isEmpty() || charset == "utf-8" || charset == "utf8" || charset.startsWith("gb2312") ||
                     charset == "x-gbk";
    QStringDecoder declared(gbk ? "GBK" : charset.constData());
    if (!declared.isValid())
        declared = QStringDecoder("GBK");
    if (!declared.isValid())
        return asUtf8;
    return declared.decode(bytes);
}

QString PageText::title(const QByteArrayList& lines, const QByteArray& charset)
{
    // Every title line used to be tried in turn, but only the last one ever decided the name.
    for (auto line = lines.crbegin(); line != lines.crend(); ++line) {
        qsizetype at = line->indexOf("<title>");
        if (at < 0)
            at = line->indexOf("<TITLE>");
        if (at < 0)
            continue;
        QByteArray title = line->mid(at + 7);
        qsizetype end = title.indexOf("</title>");
        if (end < 0)
            end = title.indexOf("</TITLE>");
        if (end >= 0)
            title.truncate(end);
        return toUnicode(title, charset.isEmpty() ? declaredCharset(lines) : charset);
    }
    return {};
}
