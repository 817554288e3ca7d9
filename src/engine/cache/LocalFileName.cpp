#include "engine/cache/LocalFileName.h"

#include <QByteArray>
#include <QList>
#include <QStringView>

#include <algorithm>
#include <array>
#include <charconv>
#include <iterator>
#include <utility>

namespace
{

// A longer "extension" is more likely part of a name such as "v1.2.3-release-candidate" than a type.
constexpr int kMaxExtensionBytes = 16;

// What forUrl leaves for the counter: "[999]". Larger counters shorten the stem in withCounter.
constexpr int kCounterReserveBytes = 5;

constexpr char32_t kReplacement = u'_';

// The path of a URL: after the scheme and authority, without query and fragment.
QStringView pathOf(QStringView url)
{
    if (const qsizetype hash = url.indexOf(u'#'); hash >= 0)
        url = url.first(hash);
    if (const qsizetype question = url.indexOf(u'?'); question >= 0)
        url = url.first(question);
    // "://" looked for by hand: the general substring search costs more than the rest of the naming.
    qsizetype schemeEnd = -1;
    for (qsizetype colon = url.indexOf(u':'); colon >= 0; colon = url.indexOf(u':', colon + 1)) {
        if (url.sliced(colon).startsWith(u"://")) {
            schemeEnd = colon;
            break;
        }
    }
    if (schemeEnd >= 0) {
        const qsizetype pathStart = url.indexOf(u'/', schemeEnd + 3);
        return pathStart < 0 ? QStringView() : url.sliced(pathStart);
    }
    // "about:blank", "data:image/png;base64,...": what follows the scheme stands for the path.
    if (const qsizetype colon = url.indexOf(u':'); colon >= 0)
        return url.sliced(colon + 1);
    return url;
}

int utf8SequenceLength(uchar lead)
{
    if (lead >= 0xc2 && lead <= 0xdf)
        return 2;
    if (lead >= 0xe0 && lead <= 0xef)
        return 3;
    if (lead >= 0xf0 && lead <= 0xf4)
        return 4;
    return 0;
}

// The code point of a well-formed UTF-8 sequence of `length` bytes at `bytes`, or std::nullopt
// (bad continuation byte, overlong form, surrogate, beyond U+10FFFF).
std::optional<char32_t> decodeUtf8Sequence(const uchar* bytes, int length)
{
    char32_t codePoint = bytes[0] & (0xff >> (length + 1));
    for (int i = 1; i < length; ++i) {
        if ((bytes[i] & 0xc0) != 0x80)
            return std::nullopt;
        codePoint = (codePoint << 6) | (bytes[i] & 0x3f);
    }
    static constexpr std::array<char32_t, 5> kSmallestOfLength = {0, 0, 0x80, 0x800, 0x10000};
    if (codePoint < kSmallestOfLength[length] || codePoint > 0x10ffff || (codePoint >= 0xd800 && codePoint <= 0xdfff))
        return std::nullopt;
    return codePoint;
}

// Percent-decoded bytes as text: UTF-8 where they are UTF-8, each other byte as Latin-1, so that a
// name percent-encoded in a legacy code page keeps one character per byte instead of turning into
// replacement characters.
QString decodeUtf8OrLatin1(const QByteArray& bytes)
{
    QString text;
    text.reserve(bytes.size());
    const auto* data = reinterpret_cast<const uchar*>(bytes.constData());
    qsizetype at = 0;
    while (at < bytes.size()) {
        const int length = utf8SequenceLength(data[at]);
        if (length > 0 && bytes.size() - at >= length) {
            if (const std::optional<char32_t> codePoint = decodeUtf8Sequence(data + at, length)) {
                text.append(QChar::fromUcs4(*codePoint));
                at += length;
                continue;
            }
        }
        text.append(QChar(char16_t(data[at]))); // ASCII, or a byte that is not UTF-8, taken as Latin-1
        ++at;
    }
    return text;
}

bool isUnsafeInFileName(char32_t c)
{
    // Path separators (a backslash too, for archives opened on Windows), C0 and C1 controls with NUL.
    return c == u'/' || c == u'\\' || c < 0x20 || (c >= 0x7f && c <= 0x9f) || (c >= 0xd800 && c <= 0xdfff);
}

QString withUnsafeCharactersReplaced(const QString& text)
{
    QString safe;
    safe.reserve(text.size());
    for (const char32_t c : text.toUcs4())
        safe.append(QChar::fromUcs4(isUnsafeInFileName(c) ? kReplacement : c));
    return safe;
}

qsizetype utf8Length(QStringView text)
{
    return text.toUtf8().size();
}

// The same, counted without encoding. A lone surrogate counts as the replacement character it becomes.
qsizetype utf8LengthCounted(QStringView text)
{
    qsizetype bytes = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i].unicode();
        if (QChar::isHighSurrogate(unit) && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            bytes += 4;
            ++i;
        } else {
            bytes += unit < 0x80 ? 1 : unit < 0x800 ? 2 : 3;
        }
    }
    return bytes;
}

// `text` cut to at most `maxBytes` bytes of UTF-8, never inside a character.
QString truncatedToUtf8Bytes(const QString& text, qsizetype maxBytes)
{
    if (utf8LengthCounted(text) <= maxBytes)
        return text;
    qsizetype bytes = 0;
    qsizetype end = 0;
    while (end < text.size()) {
        const bool pair = text[end].isHighSurrogate() && end + 1 < text.size() && text[end + 1].isLowSurrogate();
        const qsizetype units = pair ? 2 : 1;
        const char16_t unit = text[end].unicode();
        // Counted by hand: encoding every character on its own allocated once per character.
        qsizetype charBytes = pair ? 4 : unit < 0x80 ? 1 : unit < 0x800 ? 2 : 3;
        if (!pair && QChar::isSurrogate(unit))
            charBytes = utf8Length(QStringView(text).sliced(end, units));
        if (bytes + charBytes > maxBytes)
            break;
        bytes += charBytes;
        end += units;
    }
    return text.first(end);
}

QString extensionForContentType(const QString& contentType)
{
    static constexpr std::array<std::pair<const char16_t*, const char16_t*>, 11> kExtensionByType = {{
        {u"text/html", u"htm"},
        {u"image/jpeg", u"jpg"},
        {u"image/png", u"png"},
        {u"image/gif", u"gif"},
        {u"text/css", u"css"},
        {u"application/javascript", u"js"},
        {u"text/javascript", u"js"},
        {u"application/x-javascript", u"js"},
        {u"image/svg+xml", u"svg"},
        {u"image/webp", u"webp"},
        {u"application/x-shockwave-flash", u"swf"},
    }};
    // "text/html; charset=utf-8": the parameters do not change the type.
    const QString mediaType = contentType.section(u';', 0, 0).trimmed().toLower();
    for (const auto& [type, extension] : kExtensionByType) {
        if (mediaType == QStringView(type))
            return QString::fromUtf16(extension);
    }
    return QString();
}

} // namespace

LocalFileName LocalFileName::forUrl(const QString& url, const QString& contentType)
{
    const QStringView path = pathOf(url);
    const QStringView lastSegment = path.sliced(path.lastIndexOf(u'/') + 1);
    // Most segments are printable ASCII with nothing escaped: they are their own name.
    const bool plain = std::all_of(lastSegment.begin(), lastSegment.end(), [](QChar c) {
        return c.unicode() >= 0x20 && c.unicode() < 0x7f && c != u'%' && c != u'\\';
    });
    const QString decoded =
        plain ? QString()
              : withUnsafeCharactersReplaced(decodeUtf8OrLatin1(QByteArray::fromPercentEncoding(lastSegment.toUtf8())));
    QStringView name = plain ? lastSegment : QStringView(decoded);
    // A leading dot would hide the file; "." and ".." are not names at all.
    while (name.startsWith(u'.'))
        name = name.sliced(1);

    LocalFileName result;
    const qsizetype dot = name.lastIndexOf(u'.');
    const QStringView pathExtension = dot < 0 ? QStringView() : name.sliced(dot + 1);
    if (dot >= 0 && utf8LengthCounted(pathExtension) <= kMaxExtensionBytes) {
        result.stem = name.first(dot).toString();
        result.extension = pathExtension.toString();
    } else {
        result.stem = name.toString();
    }
    if (result.extension.isEmpty())
        result.extension = extensionForContentType(contentType);

    const qsizetype extensionBytes = result.extension.isEmpty() ? 0 : 1 + utf8LengthCounted(result.extension);
    result.stem = truncatedToUtf8Bytes(result.stem, kMaxBytes - kCounterReserveBytes - extensionBytes);
    if (result.stem.isEmpty())
        result.stem = QStringLiteral("index");
    return result;
}

QString LocalFileName::withCounter(int counter) const
{
    // Built in one allocation: this runs once for every entry of every walk.
    char digits[16];
    const std::to_chars_result written = std::to_chars(std::begin(digits), std::end(digits), counter);
    const qsizetype digitCount = written.ptr - digits;
    const qsizetype extensionUnits = extension.isEmpty() ? 0 : 1 + extension.size();
    const qsizetype suffixBytes = 2 + digitCount + (extension.isEmpty() ? 0 : 1 + utf8LengthCounted(extension));
    const QString cutStem =
        utf8LengthCounted(stem) + suffixBytes <= kMaxBytes ? stem : truncatedToUtf8Bytes(stem, kMaxBytes - suffixBytes);

    QString name(cutStem.size() + 2 + digitCount + extensionUnits, Qt::Uninitialized);
    QChar* out = std::copy(cutStem.begin(), cutStem.end(), name.data());
    *out++ = u'[';
    out = std::transform(digits, written.ptr, out, [](char digit) { return QChar(char16_t(digit)); });
    *out++ = u']';
    if (!extension.isEmpty()) {
        *out++ = u'.';
        std::copy(extension.begin(), extension.end(), out);
    }
    return name;
}
