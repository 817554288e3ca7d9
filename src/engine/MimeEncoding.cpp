#include "engine/MimeEncoding.h"

#include <QFile>

namespace
{

bool isLiteral(unsigned char byte)
{
    return (byte >= 33 && byte <= 126 && byte != '=') || byte == ' ' || byte == '\t';
}

QByteArray quotedPrintableLine(const QByteArray& line)
{
    static const char kHex[] = "0123456789ABCDEF";
    QByteArray encoded;
    encoded.reserve(line.size() + line.size() / 8);
    for (qsizetype i = 0; i < line.size(); ++i) {
        const auto byte = static_cast<unsigned char>(line[i]);
        // A space or tab that ends a line would be taken for padding and dropped.
        const bool endsLine = i + 1 == line.size() && (byte == ' ' || byte == '\t');
        if (isLiteral(byte) && !endsLine) {
            encoded += static_cast<char>(byte);
        } else {
            encoded += '=';
            encoded += kHex[byte >> 4];
            encoded += kHex[byte & 0x0F];
        }
    }
    return encoded;
}

} // namespace

QByteArrayList MimeEncoding::quotedPrintable(const QByteArrayList& lines)
{
    QByteArrayList out;
    for (const QByteArray& line : lines) {
        const QByteArray encoded = quotedPrintableLine(line);
        qsizetype pos = 0;
        while (encoded.size() - pos > kMaxLineLength) {
            // Room for 75 characters and the "="; every "=" in `encoded` opens an escape, so a cut just
            // after one, or one character later, would split it.
            qsizetype cut = pos + kMaxLineLength - 1;
            while (encoded[cut - 1] == '=' || encoded[cut - 2] == '=')
                --cut;
            out << encoded.mid(pos, cut - pos) + '=';
            pos = cut;
        }
        out << encoded.mid(pos);
    }
    return out;
}

QByteArrayList MimeEncoding::base64Lines(const QByteArray& bytes)
{
    const QByteArray encoded = bytes.toBase64();
    QByteArrayList out;
    out.reserve(encoded.size() / kMaxLineLength + 1);
    for (qsizetype pos = 0; pos < encoded.size(); pos += kMaxLineLength)
        out << encoded.mid(pos, kMaxLineLength);
    return out;
}

QByteArrayList MimeEncoding::EncodeFileBase64(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return base64Lines(file.readAll());
}
