#include "engine/cache/HttpResponseHead.h"

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

// Splits a header block into lines at CR LF, LF, a lone CR or NUL, the endings the caches use.
class LineReader
{
public:
    explicit LineReader(const QByteArray& raw) : raw_(raw) {}

    bool atEnd() const { return pos_ >= raw_.size(); }

    QByteArrayView next()
    {
        const qsizetype start = pos_;
        qsizetype end = start;
        while (end < raw_.size() && raw_[end] != '\r' && raw_[end] != '\n' && raw_[end] != '\0')
            ++end;
        pos_ = end;
        if (pos_ < raw_.size()) {
            const char ending = raw_[pos_++];
            if (ending == '\r' && pos_ < raw_.size() && raw_[pos_] == '\n')
                ++pos_;
        }
        return QByteArrayView(raw_).sliced(start, end - start);
    }

private:
    const QByteArray& raw_;
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

bool isTokenChar(char c)
{
    // RFC 9110 token characters.
    static constexpr QByteArrayView kSpecials = "!#$%&'*+-.^_`|~";
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || isDigit(c) || kSpecials.contains(c);
}

bool isToken(QByteArrayView text)
{
    if (text.isEmpty())
        return false;
    for (const char c : text) {
        if (!isTokenChar(c))
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
    head.fields_.reserve(24);
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
                Field& field = head.fields_.last();
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
            head.fields_.append(Field{name.data() - base, name.size(), valueStart, value.size()});
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

QString HttpResponseHead::field(const QByteArray& name) const
{
    for (const Field& candidate : fields_) {
        if (nameOf(candidate).compare(name, Qt::CaseInsensitive) == 0)
            return QString::fromLatin1(valueOf(candidate)); // HTTP's historical charset; the fields read here are ASCII
    }
    return QString();
}
