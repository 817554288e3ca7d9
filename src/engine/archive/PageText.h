#pragma once

#include <QByteArray>
#include <QByteArrayList>
#include <QString>
#include <optional>

// A cached page as the harvest reads it: lines of bytes, as stored, with no character-set conversion.
// Text becomes Unicode only where it has to: in file names and in addresses.
class PageText
{
public:
    // The file's lines, split at CR LF, CR or LF, up to its first NUL byte; a final line break does not
    // make an empty last line. std::nullopt when the file cannot be read.
    static std::optional<QByteArrayList> readLines(const QString& path);
    static QByteArrayList splitLines(QByteArray content);

    // The character set that the first "charset=" of the page names (a <meta> tag's), in lower case;
    // empty when the page names none.
    static QByteArray declaredCharset(const QByteArrayList& lines);

    // `bytes` as text: as UTF-8 when they are valid UTF-8, otherwise decoded from `charset`, and from GBK
    // when `charset` is empty, unknown or itself UTF-8 (which the bytes are not).
    static QString toUnicode(const QByteArray& bytes, const QByteArray& charset);
};
