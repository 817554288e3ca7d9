#pragma once

#include <QByteArray>
#include <QByteArrayList>
#include <QByteArrayView>
#include <QString>
#include <QStringDecoder>

// A cached page as the harvest reads it: lines of bytes, as stored, with no character-set conversion.
// Text becomes Unicode only where it has to: in file names and in addresses.
class PageText
{
public:
    // The lines of a page, split at CR LF, CR or LF; a final line break does not make an empty last line.
    // Every other byte stays, NUL included: a NUL hides nothing after it from what reads the lines.
    static QByteArrayList splitLines(QByteArray content);

    // The character set that the first "charset=" of the page names (a <meta> tag's), in lower case;
    // empty when the page names none.
    static QByteArray declaredCharset(const QByteArrayList& lines);
    // The same read from the whole page, which need not be split into lines for it.
    static QByteArray declaredCharset(QByteArrayView page);

    // Whether `c` can be part of a character set's name as the harvest takes one: ASCII letters and
    // digits, "-", "_", "." and ":". Such a name is safe in a header line.
    static bool isCharsetNameCharacter(char32_t c);

    // The title of the last title line (the text after "<title>" or "<TITLE>" up to "</title>" or
    // "</TITLE>" on that line), as text; empty when no line has a title tag. Titles that are not UTF-8 are
    // decoded from `charset`, or where that is empty from the page's declared character set, else from GBK.
    static QString title(const QByteArrayList& lines, const QByteArray& charset = {});
    // Bytes of a title past this many are left out: it names a file, whose name takes a few hundred at
    // most, and a page's one line could otherwise make a title of the page's size.
    static constexpr qsizetype kMaxTitleLength = 64 * 1024;
    // The same read from the whole page, which need not be split into lines for it.
    static QString title(QByteArrayView page, const QByteArray& charset = {});

    // `bytes` as text: as UTF-8 when they are valid UTF-8, otherwise decoded from `charset`, and from GBK
    // when `charset` is empty, unknown or itself UTF-8 (which the bytes are not).
    static QString toUnicode(const QByteArray& bytes, const QByteArray& charset);
    // The decoder toUnicode reads bytes that are not UTF-8 with, for `charset`; invalid where no decoder
    // is (toUnicode then takes the bytes as UTF-8 all the same).
    static QStringDecoder decoderFor(const QByteArray& charset);
};
