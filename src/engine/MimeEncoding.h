#pragma once

#include <QByteArray>
#include <QByteArrayList>
#include <QString>

// The two transfer encodings of RFC 2045 that archive parts use, producing lines without their line
// ends (the archive ends every line with CR LF).
class MimeEncoding
{
public:
    // Encoded lines are at most this long, a soft line break's "=" included.
    static constexpr qsizetype kMaxLineLength = 76;

    // Each text line stays a line: bytes outside printable ASCII, "=", and a space or tab that would end
    // the line are written as "=XX"; a line longer than 76 characters is split with soft line breaks,
    // never inside an "=XX".
    static QByteArrayList quotedPrintable(const QByteArrayList& lines);

    // base64 in lines of exactly 76 characters (57 bytes), the last one shorter; no lines for no bytes.
    static QByteArrayList base64Lines(const QByteArray& bytes);

    // base64Lines of a file's contents; no lines when it cannot be read.
    static QByteArrayList EncodeFileBase64(const QString& path);
};
