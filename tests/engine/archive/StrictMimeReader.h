#pragma once

// A strict reader of MIME multipart archives, for tests that check what an archive's readers find in it:
// the boundary from the Content-Type header, delimiter lines exactly as RFC 2046 has them (a CR LF before
// each belongs to the delimiter, not to the part before it), each part's header lines, and its body
// decoded by its Content-Transfer-Encoding. What a lenient reader would guess at is refused, with the
// reason: a line that starts like a delimiter but is not one, a bare CR or LF or a NUL where lines are
// text, a quoted-printable line over 76 characters or ending in a blank, an escape in lower case, base64
// that is not canonical.

#include <QByteArray>
#include <QByteArrayList>
#include <QList>
#include <utility>

namespace StrictMimeReader
{

struct Header
{
    QByteArray name;  // as written
    QByteArray value; // unfolded: continuation lines joined without their CR LF
};

struct Part
{
    QList<Header> headers;
    QByteArray body; // decoded

    // The first value of header `name` (any letter case), trimmed; empty without one.
    QByteArray header(const QByteArray& name) const
    {
        for (const Header& header : headers) {
            if (header.name.compare(name, Qt::CaseInsensitive) == 0)
                return header.value.trimmed();
        }
        return {};
    }
};

struct Archive
{
    QByteArray error; // why the text is not a well-formed archive; empty when it is
    QList<Header> headers;
    QByteArray boundary;
    QByteArray type; // the multipart/related type parameter
    QList<Part> parts;
    QByteArray epilogue;
};

namespace detail
{

inline bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

// Reads header lines from `pos` up to and including the empty line that ends them; false with `error` set
// when a line is not a header line or the text ends first.
inline bool readHeaders(const QByteArray& text, qsizetype& pos, QList<Header>& headers, QByteArray& error)
{
    while (true) {
        const qsizetype end = text.indexOf("\r\n", pos);
        if (end < 0) {
            error = "header lines end without an empty line";
            return false;
        }
        const QByteArray line = text.mid(pos, end - pos);
        pos = end + 2;
        if (line.isEmpty())
            return true;
        if (line.contains('\r') || line.contains('\n') || line.contains('\0')) {
            error = "a header line holds a CR, LF or NUL: " + line.toHex();
            return false;
        }
        if (isBlank(line[0])) {
            if (headers.isEmpty()) {
                error = "a continuation line opens the headers";
                return false;
            }
            headers.last().value += line;
            continue;
        }
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0) {
            error = "not a header line: " + line;
            return false;
        }
        const QByteArray name = line.left(colon);
        for (const char c : name) {
            if (c < 33 || c > 126) {
                error = "a header name holds a character it cannot: " + line;
                return false;
            }
        }
        headers.append(Header{name, line.mid(colon + 1)});
    }
}

// The parameters of a Content-Type value after its type, names in lower case: attribute=token or
// attribute="quoted string", separated by ";", blanks (from unfolding) around each.
inline bool readParameters(const QByteArray& value, QByteArray& type, QList<std::pair<QByteArray, QByteArray>>& out,
                           QByteArray& error)
{
    static const QByteArray kSpecials = "()<>@,;:\\\"/[]?=";
    const auto isTokenChar = [](char c) { return c > 32 && c < 127 && !kSpecials.contains(c); };
    qsizetype pos = 0;
    const auto skipBlanks = [&] {
        while (pos < value.size() && isBlank(value[pos]))
            ++pos;
    };
    const auto token = [&] {
        const qsizetype start = pos;
        while (pos < value.size() && isTokenChar(value[pos]))
            ++pos;
        return value.mid(start, pos - start);
    };
    skipBlanks();
    const QByteArray major = token();
    if (major.isEmpty() || pos >= value.size() || value[pos] != '/') {
        error = "no type/subtype in " + value;
        return false;
    }
    ++pos;
    const QByteArray minor = token();
    if (minor.isEmpty()) {
        error = "no subtype in " + value;
        return false;
    }
    type = (major + '/' + minor).toLower();
    while (true) {
        skipBlanks();
        if (pos == value.size())
            return true;
        if (value[pos] != ';') {
            error = "expected ';' in " + value;
            return false;
        }
        ++pos;
        skipBlanks();
        if (pos == value.size())
            return true; // "text/html;" with no parameter after it
        const QByteArray attribute = token().toLower();
        if (attribute.isEmpty() || pos >= value.size() || value[pos] != '=') {
            error = "a parameter without '=' in " + value;
            return false;
        }
        ++pos;
        QByteArray parameter;
        if (pos < value.size() && value[pos] == '"') {
            ++pos;
            while (pos < value.size() && value[pos] != '"') {
                if (value[pos] == '\\') {
                    if (++pos == value.size())
                        break;
                }
                parameter += value[pos++];
            }
            if (pos >= value.size()) {
                error = "an unterminated quoted string in " + value;
                return false;
            }
            ++pos;
        } else {
            parameter = token();
            if (parameter.isEmpty()) {
                error = "an empty parameter value in " + value;
                return false;
            }
        }
        out.append({attribute, parameter});
    }
}

// RFC 2046: 1 to 70 characters of bcharsnospace and space, not ending in a space.
inline bool isValidBoundary(const QByteArray& boundary)
{
    static const QByteArray kOthers = "'()+_,-./:=? ";
    if (boundary.isEmpty() || boundary.size() > 70 || boundary.endsWith(' '))
        return false;
    for (const char c : boundary) {
        const bool alphanumeric = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!alphanumeric && !kOthers.contains(c))
            return false;
    }
    return true;
}

inline int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1; // lower case too: RFC 2045 has upper-case hex digits
}

// The lines of an encoded body, split at CR LF; false where a line holds an LF alone (an encoded body's
// lines end only with CR LF) or passes 76 characters.
inline bool encodedLines(const QByteArray& body, const QByteArray& encoding, QByteArrayList& lines, QByteArray& error)
{
    lines = body.split('\n');
    for (qsizetype n = 0; n < lines.size(); ++n) {
        QByteArray& line = lines[n];
        if (n + 1 < lines.size()) {
            if (!line.endsWith('\r')) {
                error = "a bare LF in " + encoding;
                return false;
            }
            line.chop(1);
        }
        if (line.size() > 76) {
            error = "a " + encoding + " line of " + QByteArray::number(line.size()) + " characters";
            return false;
        }
    }
    return true;
}

inline bool decodeQuotedPrintable(const QByteArray& body, QByteArray& out, QByteArray& error)
{
    QByteArrayList lines;
    if (!encodedLines(body, "quoted-printable", lines, error))
        return false;
    for (qsizetype n = 0; n < lines.size(); ++n) {
        const QByteArray& line = lines[n];
        const bool last = n + 1 == lines.size();
        if (!line.isEmpty() && isBlank(line.back())) {
            error = "a quoted-printable line ends in a blank";
            return false;
        }
        bool soft = false;
        for (qsizetype i = 0; i < line.size(); ++i) {
            const char c = line[i];
            if (c == '=') {
                if (i + 1 == line.size()) {
                    soft = true;
                    break;
                }
                const int high = i + 2 < line.size() ? hexValue(line[i + 1]) : -1;
                const int low = i + 2 < line.size() ? hexValue(line[i + 2]) : -1;
                if (high < 0 || low < 0) {
                    error = "a broken escape in quoted-printable: " + line;
                    return false;
                }
                out += static_cast<char>(high * 16 + low);
                i += 2;
            } else if ((c >= 33 && c <= 126) || isBlank(c)) {
                out += c;
            } else {
                error = "a character quoted-printable cannot hold: " + QByteArray(1, c).toHex();
                return false;
            }
        }
        if (soft && last) {
            error = "a soft line break ends the body";
            return false;
        }
        if (!soft && !last)
            out += "\r\n";
    }
    return true;
}

inline bool decodeBase64(const QByteArray& body, QByteArray& out, QByteArray& error)
{
    QByteArrayList lines;
    if (!encodedLines(body, "base64", lines, error))
        return false;
    const QByteArray joined = lines.join();
    const auto decoded = QByteArray::fromBase64Encoding(joined, QByteArray::AbortOnBase64DecodingErrors);
    // Canonical only: what decodes is what encodes back (no stray padding, no bits left over).
    if (!decoded || joined.size() % 4 != 0 || decoded.decoded.toBase64() != joined) {
        error = "base64 that is not canonical";
        return false;
    }
    out = decoded.decoded;
    return true;
}

// Lines that must be plain text: no NUL, no CR or LF but in CR LF; with `sevenBit`, ASCII only.
inline bool checkText(const QByteArray& body, bool sevenBit, QByteArray& error)
{
    for (qsizetype i = 0; i < body.size(); ++i) {
        const auto c = static_cast<unsigned char>(body[i]);
        const bool crlf =
            (c == '\r' && i + 1 < body.size() && body[i + 1] == '\n') || (c == '\n' && i > 0 && body[i - 1] == '\r');
        if (c == 0 || ((c == '\r' || c == '\n') && !crlf) || (sevenBit && c > 127)) {
            error = "a byte a text body cannot hold: " + QByteArray::number(c);
            return false;
        }
    }
    return true;
}

inline bool decodeBody(const QByteArray& encoding, const QByteArray& body, QByteArray& out, QByteArray& error)
{
    const QByteArray name = encoding.toLower();
    if (name == "quoted-printable")
        return decodeQuotedPrintable(body, out, error);
    if (name == "base64")
        return decodeBase64(body, out, error);
    if (name.isEmpty() || name == "7bit" || name == "8bit") {
        out = body;
        return checkText(body, name != "8bit", error);
    }
    if (name == "binary") {
        out = body;
        return true;
    }
    error = "an unknown transfer encoding: " + encoding;
    return false;
}

} // namespace detail

// Reads `text` as a MIME multipart archive.
inline Archive read(const QByteArray& text)
{
    Archive archive;
    QByteArray& error = archive.error;
    qsizetype pos = 0;
    if (!detail::readHeaders(text, pos, archive.headers, error))
        return archive;
    const Part top{archive.headers, {}};
    if (top.header("MIME-Version") != "1.0") {
        error = "no MIME-Version: 1.0";
        return archive;
    }
    QByteArray type;
    QList<std::pair<QByteArray, QByteArray>> parameters;
    if (!detail::readParameters(top.header("Content-Type"), type, parameters, error))
        return archive;
    if (type != "multipart/related") {
        error = "not multipart/related: " + type;
        return archive;
    }
    for (const auto& [name, value] : parameters) {
        if (name == "boundary")
            archive.boundary = value;
        else if (name == "type")
            archive.type = value;
    }
    if (!detail::isValidBoundary(archive.boundary)) {
        error = "no valid boundary: " + archive.boundary;
        return archive;
    }

    // The body as lines; a delimiter line is "--boundary", the closing one "--boundary--", each with
    // blanks after it at most, and each owns the CR LF before it (where it does not open the body).
    const QByteArray dashBoundary = "--" + archive.boundary;
    qsizetype partStart = -1; // where the part being read began, after its delimiter line
    bool closed = false;
    while (pos <= text.size() && !closed) {
        qsizetype end = text.indexOf("\r\n", pos);
        const bool lastLine = end < 0;
        if (lastLine)
            end = text.size();
        const QByteArray line = text.mid(pos, end - pos);
        if (line.startsWith(dashBoundary)) {
            QByteArray rest = line.mid(dashBoundary.size());
            const bool closing = rest.startsWith("--");
            if (closing)
                rest = rest.mid(2);
            for (const char c : rest) {
                if (!detail::isBlank(c)) {
                    error = "a line starts like a delimiter but is not one: " + line;
                    return archive;
                }
            }
            if (partStart >= 0) {
                // The part's text ends before the CR LF that this delimiter owns.
                if (pos - 2 < partStart) {
                    error = "a part with no room for its header lines";
                    return archive;
                }
                const QByteArray raw = text.mid(partStart, pos - 2 - partStart);
                Part part;
                qsizetype at = 0;
                if (!detail::readHeaders(raw, at, part.headers, error)) {
                    error = "part " + QByteArray::number(archive.parts.size() + 1) + ": " + error;
                    return archive;
                }
                if (!detail::decodeBody(part.header("Content-Transfer-Encoding"), raw.mid(at), part.body, error)) {
                    error = "part " + QByteArray::number(archive.parts.size() + 1) + ": " + error;
                    return archive;
                }
                archive.parts.append(part);
            }
            if (closing) {
                closed = true;
                archive.epilogue = lastLine ? QByteArray() : text.mid(end + 2);
                break;
            }
            if (lastLine) {
                error = "the text ends on a delimiter line";
                return archive;
            }
            partStart = end + 2;
        }
        if (lastLine)
            break;
        pos = end + 2;
    }
    if (!closed)
        error = "no closing delimiter";
    else if (archive.parts.isEmpty())
        error = "no part";
    return archive;
}

} // namespace StrictMimeReader
