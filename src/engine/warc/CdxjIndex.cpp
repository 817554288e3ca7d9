#include "engine/warc/CdxjIndex.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QUrl>
#include <algorithm>

QByteArray CdxjIndex::timestampOf(const QDateTime& time)
{
    return time.toUTC().toString(QStringLiteral("yyyyMMddHHmmss")).toLatin1();
}

QByteArray CdxjIndex::surtOf(const QString& url)
{
    const QUrl parsed(url.toLower());
    if (!parsed.isValid() || parsed.host().isEmpty())
        return url.toUtf8();
    static const QRegularExpression www(QStringLiteral("^www\\d*\\."));
    QString host = parsed.host(QUrl::FullyEncoded);
    host.remove(www);
    QStringList parts = host.split(u'.');
    std::reverse(parts.begin(), parts.end());
    QByteArray key = parts.join(u',').toUtf8();
    const int port = parsed.port();
    const bool defaultPort =
        port < 0 || (parsed.scheme() == u"http" && port == 80) || (parsed.scheme() == u"https" && port == 443);
    if (!defaultPort)
        key += ':' + QByteArray::number(port);
    key += ')';
    const QByteArray path = parsed.path(QUrl::FullyEncoded).toUtf8();
    key += path.isEmpty() ? QByteArrayLiteral("/") : path;
    if (parsed.hasQuery()) {
        QByteArrayList pairs = parsed.query(QUrl::FullyEncoded).toUtf8().split('&');
        std::sort(pairs.begin(), pairs.end());
        key += '?' + pairs.join('&');
    }
    return key;
}

QByteArray CdxjIndex::build(const std::vector<WarcWriter::Capture>& captures, const QByteArray& fileName)
{
    QByteArrayList lines;
    lines.reserve(qsizetype(captures.size()));
    for (const WarcWriter::Capture& capture : captures) {
        QJsonObject fields;
        fields.insert(QStringLiteral("url"), capture.url);
        fields.insert(QStringLiteral("mime"), QString::fromLatin1(capture.mime));
        fields.insert(QStringLiteral("status"), QString::number(capture.status));
        fields.insert(QStringLiteral("digest"), QString::fromLatin1(capture.payloadDigest));
        fields.insert(QStringLiteral("length"), QString::number(capture.length));
        fields.insert(QStringLiteral("offset"), QString::number(capture.offset));
        fields.insert(QStringLiteral("filename"), QString::fromLatin1(fileName));
        lines.append(surtOf(capture.url) + ' ' + timestampOf(capture.date) + ' ' +
                     QJsonDocument(fields).toJson(QJsonDocument::Compact));
    }
    std::sort(lines.begin(), lines.end());
    QByteArray index;
    for (const QByteArray& line : lines)
        index.append(line).append('\n');
    return index;
}
