#include "engine/cache/HttpResponseHead.h"

#include <array>
#include <cstring>
#include <string_view>

namespace
{

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

// A table of the bytes that end a line, and of those allowed in a field name: a walk parses one head per
// entry, so each byte is looked at with one load.
struct ByteClasses
{
    std::array<bool, 256> endsLine{};
    std::array<bool, 256> isTokenChar{};

    constexpr ByteClasses()
    {
        endsLine[uchar('\r')] = endsLine[uchar('\n')] = endsLine[0] = true;
        // RFC 9110 token characters.
        for (int c = 'a'; c <= 'z'; ++c)
            isTokenChar[size_t(c)] = true;
        for (int c = 'A'; c <= 'Z'; ++c)
            isTokenChar[size_t(c)] = true;
        for (int c = '0'; c <= '9'; ++c)
            isTokenChar[size_t(c)] = true;
        for (const char c : std::string_view("!#$%&'*+-.^_`|~"))
            isTokenChar[uchar(c)] = true;
    }
};

constexpr ByteClasses kByteClasses;

// Splits a header block into lines at CR LF, LF, a lone CR or NUL, the endings the caches use.
class LineReader
{
public:
    explicit LineReader(const QByteArray& raw) : data_(raw.constData()), size_(raw.size()) {}

    bool atEnd() const { return pos_ >= size_; }

    QByteArrayView next()
    {
        const qsizetype start = pos_;
        qsizetype end = start;
        // Eight bytes at a time while none of them ends the line, then byte by byte.
        while (size_ - end >= 8 && !holdsLineEnd(data_ + end))
            end += 8;
        while (end < size_ && !kByteClasses.endsLine[uchar(data_[end])])
            ++end;
        pos_ = end;
        if (pos_ < size_) {
            const char ending = data_[pos_++];
            if (ending == '\r' && pos_ < size_ && data_[pos_] == '\n')
                ++pos_;
        }
        return QByteArrayView(data_ + start, end - start);
    }

private:
    // Whether any of the eight bytes at `bytes` is NUL, CR or LF: the usual test for a zero byte in a
    // word, applied to the word and to it XORed with each line end.
    static bool holdsLineEnd(const char* bytes)
    {
        quint64 word;
        std::memcpy(&word, bytes, sizeof word);
        constexpr quint64 ones = 0x0101010101010101ull;
        constexpr quint64 highs = 0x8080808080808080ull;
        const auto hasZeroByte = [](quint64 v) { return (v - ones) & ~v & highs; };
        return (hasZeroByte(word) | hasZeroByte(word ^ (ones * '\r')) | hasZeroByte(word ^ (ones * '\n'))) != 0;
    }

    const char* data_;
    qsizetype size_;
    qsizetype pos_ = 0;
};

// "HTTP/1.1 200 OK", "HTTP/2 200", "HTTP/1.0 404": the status code, or std::nullopt.
std::optional<int> statusCodeOf(QByteArrayView line)
{
    if (!line.startsWith("HTTP/"))
        return std::nullopt;
    qsizetype at = 5;
    // Version: digits, optionally a dot and more digits.
    const qsizetype majorStart = at;
    while (at < line.size() && isDigit(line[at]))
        ++at;
    if (at == majorStart)
        return std::nullopt;
    if (at < line.size() && line[at] == '.') {
        const qsizetype minorStart = ++at;
        while (at < line.size() && isDigit(line[at]))
            ++at;
        if (at == minorStart)
            return std::nullopt;
    }
    if (at == line.size() || !isBlank(line[at]))
        return std::nullopt;
    while (at < line.size() && isBlank(line[at]))
        ++at;
    // Exactly three digits, then the end of the line or the reason phrase.
    if (line.size() - at < 3 || !isDigit(line[at]) || !isDigit(line[at + 1]) || !isDigit(line[at + 2]))
        return std::nullopt;
    if (line.size() - at > 3 && !isBlank(line[at + 3]))
        return std::nullopt;
    return (line[at] - '0') * 100 + (line[at + 1] - '0') * 10 + (line[at + 2] - '0');
}

bool isToken(QByteArrayView text)
{
    if (text.isEmpty())
        return false;
    for (const char c : text) {
        if (!kByteClasses.isTokenChar[uchar(c)])
            return false;
    }
    return true;
}

} // namespace

std::optional<HttpResponseHead> HttpResponseHead::parse(const QByteArray& raw)
{
    LineReader lines(raw);
    // Tolerates blank lines before the status line; nothing else may come first.
    QByteArrayView statusLine;
    while (statusLine.isEmpty() && !lines.atEnd())
        statusLine = lines.next().trimmed();
    const std::optional<int> statusCode = statusCodeOf(statusLine);
    if (!statusCode)
        return std::nullopt;

    HttpResponseHead head;
    head.raw_ = raw;
    head.statusCode_ = *statusCode;
    head.fields_.reserve(16);
    const char* const base = raw.constData();
    bool lastLineWasField = false;
    while (!lines.atEnd()) {
        const QByteArrayView line = lines.next();
        // An empty line ends the head (Chromium's block ends in two NULs).
        if (line.isEmpty())
            break;
        // A line starting with blanks continues the previous field (the obsolete line folding).
        if (isBlank(line.front())) {
            const QByteArrayView more = line.trimmed();
            if (lastLineWasField && !more.isEmpty()) {
                Field& field = head.fields_.back();
                if (field.foldedIndex < 0) {
                    head.foldedValues_.append(head.valueOf(field).toByteArray());
                    field.foldedIndex = head.foldedValues_.size() - 1;
                }
                QByteArray& value = head.foldedValues_[field.foldedIndex];
                value.append(value.isEmpty() ? "" : " ").append(more);
            }
            continue;
        }
        const qsizetype colon = line.indexOf(':');
        const QByteArrayView name = colon < 0 ? QByteArrayView() : line.first(colon);
        // A line that is not "Name: value" is skipped rather than failing the whole head.
        lastLineWasField = isToken(name);
        if (lastLineWasField) {
            const QByteArrayView value = line.sliced(colon + 1).trimmed();
            // An empty view may point nowhere, so its offset is not taken.
            const qsizetype valueStart = value.isEmpty() ? 0 : value.data() - base;
            head.fields_.push_back(Field{name.data() - base, name.size(), valueStart, value.size()});
            // The two fields every reader asks for are found here, while the name is at hand.
            static constexpr QByteArrayView kContentType = "content-type";
            static constexpr QByteArrayView kContentEncoding = "content-encoding";
            if (head.contentTypeIndex_ < 0 && name.size() == kContentType.size() &&
                name.compare(kContentType, Qt::CaseInsensitive) == 0)
                head.contentTypeIndex_ = qsizetype(head.fields_.size()) - 1;
            else if (head.contentEncodingIndex_ < 0 && name.size() == kContentEncoding.size() &&
                     name.compare(kContentEncoding, Qt::CaseInsensitive) == 0)
                head.contentEncodingIndex_ = qsizetype(head.fields_.size()) - 1;
        }
    }
    return head;
}

QByteArrayView HttpResponseHead::nameOf(const Field& field) const
{
    return QByteArrayView(raw_).sliced(field.nameStart, field.nameLength);
}

QByteArrayView HttpResponseHead::valueOf(const Field& field) const
{
    if (field.foldedIndex >= 0)
        return foldedValues_.at(field.foldedIndex);
    return QByteArrayView(raw_).sliced(field.valueStart, field.valueLength);
}

QString HttpResponseHead::contentType() const
{
    return contentTypeIndex_ < 0 ? QString() : QString::fromLatin1(valueOf(fields_[size_t(contentTypeIndex_)]));
}

QString HttpResponseHead::contentEncoding() const
{
    if (contentEncodingIndex_ < 0)
        return QString();
    return QString::fromLatin1(valueOf(fields_[size_t(contentEncodingIndex_)]).trimmed()).toLower();
}

QString HttpResponseHead::field(const QByteArray& name) const
{
    for (const Field& candidate : fields_) {
        if (nameOf(candidate).compare(name, Qt::CaseInsensitive) == 0)
            return QString::fromLatin1(valueOf(candidate)); // HTTP's historical charset; the fields read here are ASCII
    }
    return QString();
}
