#include "engine/warc/HttpResponseBlock.h"

#include <QList>
#include <QLocale>
#include <QSet>
#include <array>

namespace
{

bool isHopByHop(QByteArrayView name)
{
    static constexpr std::array<QByteArrayView, 11> kNames = {
        "connection", "keep-alive",         "proxy-connection",    "transfer-encoding", "te",         "trailer",
        "upgrade",    "proxy-authenticate", "proxy-authorization", "set-cookie",        "set-cookie2"};
    for (const QByteArrayView known : kNames) {
        if (name.compare(known, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

// "HTTP/1.1 200 OK": the code, or 0 when the line is no status line.
int statusCodeOf(QByteArrayView line)
{
    if (!line.startsWith("HTTP/"))
        return 0;
    const qsizetype space = line.indexOf(' ');
    if (space < 0 || line.size() < space + 4)
        return 0;
    int code = 0;
    for (qsizetype i = space + 1; i < space + 4; ++i) {
        if (line[i] < '0' || line[i] > '9')
            return 0;
        code = code * 10 + (line[i] - '0');
    }
    if (line.size() > space + 4 && line[space + 4] != ' ')
        return 0;
    return code >= 100 ? code : 0;
}

QDateTime httpDate(const QByteArray& text)
{
    // RFC 9110's preferred form is the only one servers still send.
    QDateTime time =
        QLocale::c().toDateTime(QString::fromLatin1(text.trimmed()), QStringLiteral("ddd, dd MMM yyyy HH:mm:ss 'GMT'"));
    time.setTimeSpec(Qt::UTC);
    return time;
}

} // namespace

std::optional<HttpResponseBlock> HttpResponseBlock::fromCachedHead(QByteArrayView cached)
{
    if (cached.isEmpty() || cached.size() > kMaxHeadSize)
        return std::nullopt;
    QList<QByteArrayView> lines;
    qsizetype start = 0;
    for (qsizetype i = 0; i <= cached.size(); ++i) {
        if (i < cached.size() && cached[i] != '\n' && cached[i] != '\0')
            continue;
        QByteArrayView line = cached.sliced(start, i - start);
        if (line.endsWith('\r'))
            line.chop(1);
        start = i + 1;
        if (line.isEmpty()) {
            if (lines.isEmpty())
                continue;
            break; // the end of the head
        }
        lines.append(line);
        if (lines.size() > kMaxFields + 1)
            return std::nullopt;
    }
    if (lines.isEmpty())
        return std::nullopt;

    HttpResponseBlock block;
    block.statusCode_ = statusCodeOf(lines.first());
    if (block.statusCode_ == 0)
        return std::nullopt;

    // Unfolded, in order.
    QList<std::pair<QByteArray, QByteArray>> fields;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArrayView line = lines[i];
        if (line.front() == ' ' || line.front() == '\t') {
            if (!fields.isEmpty())
                fields.last().second += ' ' + line.trimmed().toByteArray();
            continue;
        }
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0)
            continue;
        fields.append({line.first(colon).trimmed().toByteArray(), line.sliced(colon + 1).trimmed().toByteArray()});
    }

    QSet<QByteArray> named; // by Connection
    for (const auto& [name, value] : fields) {
        if (name.compare("connection", Qt::CaseInsensitive) == 0) {
            for (const QByteArray& token : value.split(','))
                named.insert(token.trimmed().toLower());
        }
    }

    block.bytes_.reserve(cached.size() + 64);
    block.bytes_.append(lines.first().toByteArray()).append("\r\n");
    for (const auto& [name, value] : fields) {
        if (isHopByHop(name) || named.contains(name.toLower()))
            continue;
        if (name.compare("content-length", Qt::CaseInsensitive) == 0) {
            bool isNumber = false;
            const qint64 length = value.toLongLong(&isNumber);
            if (isNumber && length >= 0)
                block.contentLength_ = length;
        } else if (name.compare("date", Qt::CaseInsensitive) == 0 && block.dateField_.isEmpty()) {
            block.dateField_ = value;
        }
        block.bytes_.append(name).append(": ").append(value).append("\r\n");
    }
    block.bytes_.append("\r\n");
    return block;
}

QDateTime HttpResponseBlock::date() const
{
    if (dateField_.isEmpty())
        return {};
    // RFC 9110's preferred form is the only one servers still send.
    QDateTime time =
        QLocale::c().toDateTime(QString::fromLatin1(dateField_), QStringLiteral("ddd, dd MMM yyyy HH:mm:ss 'GMT'"));
    time.setTimeSpec(Qt::UTC);
    return time;
}
