#include "engine/archive/HtmlTokenizer.h"

#include <QSet>
#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

namespace
{

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

bool isAsciiLetter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool isAsciiAlnum(char c)
{
    return isAsciiLetter(c) || (c >= '0' && c <= '9');
}

char lower(char c)
{
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

// Elements whose text is not markup, up to their own end tag.
bool isRawTextElement(std::string_view name)
{
    static constexpr std::array<std::string_view, 10> kNames{"script", "style",   "textarea", "title",    "xmp",
                                                             "iframe", "noembed", "noframes", "noscript", "plaintext"};
    return std::find(kNames.begin(), kNames.end(), name) != kNames.end();
}

struct NamedReference
{
    std::string_view name;
    char32_t code;
};

// The named references that occur in addresses and attribute text; others stay as written.
constexpr std::array kNamedReferences{
    NamedReference{"amp", U'&'},    NamedReference{"quot", U'"'},     NamedReference{"apos", U'\''},
    NamedReference{"lt", U'<'},     NamedReference{"gt", U'>'},       NamedReference{"nbsp", 0xA0},
    NamedReference{"sol", U'/'},    NamedReference{"colon", U':'},    NamedReference{"quest", U'?'},
    NamedReference{"equals", U'='}, NamedReference{"num", U'#'},      NamedReference{"percnt", U'%'},
    NamedReference{"period", U'.'}, NamedReference{"lpar", U'('},     NamedReference{"rpar", U')'},
    NamedReference{"comma", U','},  NamedReference{"plus", U'+'},     NamedReference{"lowbar", U'_'},
    NamedReference{"tab", U'\t'},   NamedReference{"NewLine", U'\n'},
};

// `code` in UTF-8; NUL, surrogates and what lies past Unicode become U+FFFD.
void appendCodePoint(QByteArray& out, char32_t code)
{
    if (code == 0 || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        code = 0xFFFD;
    if (code < 0x80) {
        out += char(code);
    } else if (code < 0x800) {
        out += char(0xC0 | (code >> 6));
        out += char(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += char(0xE0 | (code >> 12));
        out += char(0x80 | ((code >> 6) & 0x3F));
        out += char(0x80 | (code & 0x3F));
    } else {
        out += char(0xF0 | (code >> 18));
        out += char(0x80 | ((code >> 12) & 0x3F));
        out += char(0x80 | ((code >> 6) & 0x3F));
        out += char(0x80 | (code & 0x3F));
    }
}

// An attribute value as the tag keeps it: the text itself where no reference needs undoing, shared
// with the document rather than copied, so that a page of huge values costs no more than reading it.
QByteArray attributeValue(const char* data, qsizetype size)
{
    if (std::memchr(data, '&', size_t(size)))
        return HtmlTokenizer::unescape(QByteArrayView(data, size));
    return QByteArray::fromRawData(data, size);
}

class Tokenizer
{
public:
    Tokenizer(QByteArrayView html, const HtmlTokenizer::TagHandler& onTag, const HtmlTokenizer::RawTextHandler& onRaw)
        : text_(html.data()), size_(html.size()), onTag_(onTag), onRaw_(onRaw)
    {}

    // Whether a tag had more attributes than kMaxAttributes.
    bool capped() const { return capped_; }

    void run()
    {
        while (pos_ < size_) {
            const char* lt = static_cast<const char*>(std::memchr(text_ + pos_, '<', size_t(size_ - pos_)));
            if (!lt)
                return;
            pos_ = (lt - text_) + 1;
            if (pos_ >= size_)
                return;
            const char c = text_[pos_];
            if (c == '!') {
                markupDeclaration();
            } else if (c == '/') {
                ++pos_;
                if (pos_ < size_ && isAsciiLetter(text_[pos_])) {
                    if (!tag(false)) // an end tag's attributes are read and dropped
                        return;
                } else {
                    skipPast('>');
                }
            } else if (c == '?') {
                skipPast('>');
            } else if (isAsciiLetter(c)) {
                // A tag the text ends inside is no tag.
                if (!tag(true))
                    return;
                onTag_(tag_);
                if (isRawTextElement(std::string_view(tag_.name.constData(), size_t(tag_.name.size()))))
                    rawText(tag_.name);
            }
        }
    }

private:
    using StartTag = HtmlTokenizer::StartTag;

    void skipPast(char c)
    {
        const char* found = static_cast<const char*>(std::memchr(text_ + pos_, c, size_t(size_ - pos_)));
        pos_ = found ? (found - text_) + 1 : size_;
    }

    bool matchesAt(qsizetype at, std::string_view what, bool anyCase = false) const
    {
        if (at < 0 || size_ - at < qsizetype(what.size()))
            return false;
        for (std::size_t i = 0; i < what.size(); ++i) {
            const char c = text_[at + qsizetype(i)];
            if (anyCase ? lower(c) != what[i] : c != what[i])
                return false;
        }
        return true;
    }

    bool startsWith(std::string_view what) const { return matchesAt(pos_, what); }

    // After "<!": a comment up to "-->" (or an abruptly closed one), else a bogus comment up to ">".
    void markupDeclaration()
    {
        ++pos_;
        if (!startsWith("--")) {
            skipPast('>');
            return;
        }
        pos_ += 2;
        if (startsWith(">")) {
            ++pos_;
            return;
        }
        if (startsWith("->")) {
            pos_ += 2;
            return;
        }
        while (pos_ < size_) {
            const char* dash = static_cast<const char*>(std::memchr(text_ + pos_, '-', size_t(size_ - pos_)));
            if (!dash) {
                pos_ = size_;
                return;
            }
            pos_ = dash - text_;
            if (startsWith("-->")) {
                pos_ += 3;
                return;
            }
            if (startsWith("--!>")) {
                pos_ += 4;
                return;
            }
            ++pos_;
        }
    }

    // A tag from its name's first letter to its ">", read into tag_ where `keep` says so (an end tag is
    // only read past). False when the text ends before the ">".
    bool tag(bool keep)
    {
        StartTag& start = tag_; // one for every tag, so that its buffers serve them all
        start.attributes.clear();
        names_.clear();
        const qsizetype nameStart = pos_;
        while (pos_ < size_ && !isBlank(text_[pos_]) && text_[pos_] != '/' && text_[pos_] != '>')
            ++pos_;
        if (keep) {
            start.name.resize(pos_ - nameStart);
            std::transform(text_ + nameStart, text_ + pos_, start.name.data(), lower);
        }
        while (pos_ < size_) {
            const char c = text_[pos_];
            if (c == '>') {
                ++pos_;
                return true;
            }
            if (isBlank(c) || c == '/') {
                ++pos_;
                continue;
            }
            attribute(start, keep);
        }
        return false;
    }

    void attribute(StartTag& start, bool keep)
    {
        const qsizetype nameStart = pos_;
        ++pos_; // the first character may be "=", which then belongs to the name
        while (pos_ < size_ && !isBlank(text_[pos_]) && text_[pos_] != '/' && text_[pos_] != '>' && text_[pos_] != '=')
            ++pos_;
        const qsizetype nameEnd = pos_;
        qsizetype next = pos_;
        while (next < size_ && isBlank(text_[next]))
            ++next;
        qsizetype valueStart = -1;
        qsizetype valueEnd = -1;
        if (next < size_ && text_[next] == '=') {
            pos_ = next + 1;
            while (pos_ < size_ && isBlank(text_[pos_]))
                ++pos_;
            if (pos_ < size_ && (text_[pos_] == '"' || text_[pos_] == '\'')) {
                const char quote = text_[pos_++];
                const char* end = static_cast<const char*>(std::memchr(text_ + pos_, quote, size_t(size_ - pos_)));
                valueStart = pos_;
                valueEnd = end ? end - text_ : size_;
                pos_ = std::min(valueEnd + 1, size_);
            } else {
                valueStart = pos_;
                while (pos_ < size_ && !isBlank(text_[pos_]) && text_[pos_] != '>')
                    ++pos_;
                valueEnd = pos_;
            }
        }
        if (!keep)
            return;
        if (start.attributes.size() >= HtmlTokenizer::kMaxAttributes) {
            capped_ = true;
            return;
        }
        QByteArray name(nameEnd - nameStart, Qt::Uninitialized);
        std::transform(text_ + nameStart, text_ + nameEnd, name.data(), lower);
        if (isRepeated(start, name))
            return;
        QByteArray value = valueStart < 0 ? QByteArray() : attributeValue(text_ + valueStart, valueEnd - valueStart);
        start.attributes.append({std::move(name), std::move(value)});
    }

    // Whether the tag has an attribute `name` already: the first one counts. A set keeps the names of a
    // tag with many, so that each one costs the same however many came before it.
    bool isRepeated(const StartTag& start, const QByteArray& name)
    {
        static constexpr qsizetype kSetAbove = 16; // below this, comparing each name costs less than hashing
        if (start.attributes.size() < kSetAbove)
            return start.value(name) != nullptr;
        if (names_.isEmpty()) {
            for (const auto& attribute : start.attributes)
                names_.insert(attribute.first);
        }
        if (names_.contains(name))
            return true;
        names_.insert(name);
        return false;
    }

    // The text of a raw-text element up to "</name" followed by a blank, "/" or ">", in any letter case.
    void rawText(const QByteArray& name)
    {
        const qsizetype textStart = pos_;
        const std::string_view wanted(name.constData(), size_t(name.size()));
        if (wanted == "plaintext") {
            pos_ = size_;
        } else {
            for (;;) {
                const char* lt = static_cast<const char*>(std::memchr(text_ + pos_, '<', size_t(size_ - pos_)));
                if (!lt) {
                    pos_ = size_;
                    break;
                }
                const qsizetype at = lt - text_;
                const qsizetype after = at + 2 + qsizetype(wanted.size());
                if (matchesAt(at + 1, "/") && matchesAt(at + 2, wanted, true) &&
                    (after >= size_ || isBlank(text_[after]) || text_[after] == '/' || text_[after] == '>')) {
                    pos_ = at;
                    break;
                }
                pos_ = at + 1;
            }
        }
        onRaw_(name, QByteArrayView(text_ + textStart, pos_ - textStart));
    }

    const char* const text_;
    const qsizetype size_;
    qsizetype pos_ = 0;
    const HtmlTokenizer::TagHandler& onTag_;
    const HtmlTokenizer::RawTextHandler& onRaw_;
    StartTag tag_;
    QSet<QByteArray> names_; // the attribute names of the tag being read, once it has many
    bool capped_ = false;
};

} // namespace

const QByteArray* HtmlTokenizer::StartTag::value(QByteArrayView attributeName) const
{
    for (const auto& attribute : attributes) {
        if (attribute.first == attributeName)
            return &attribute.second;
    }
    return nullptr;
}

QByteArray HtmlTokenizer::unescape(QByteArrayView value)
{
    if (!value.contains('&'))
        return value.toByteArray();
    QByteArray out;
    out.reserve(value.size());
    qsizetype pos = 0;
    while (pos < value.size()) {
        const char c = value[pos];
        if (c != '&') {
            out += c;
            ++pos;
            continue;
        }
        qsizetype at = pos + 1;
        if (at < value.size() && value[at] == '#') {
            ++at;
            const bool hex = at < value.size() && (value[at] == 'x' || value[at] == 'X');
            if (hex)
                ++at;
            char32_t code = 0;
            const qsizetype digitsStart = at;
            for (; at < value.size(); ++at) {
                const char d = value[at];
                int digit = -1;
                if (d >= '0' && d <= '9')
                    digit = d - '0';
                else if (hex && lower(d) >= 'a' && lower(d) <= 'f')
                    digit = lower(d) - 'a' + 10;
                if (digit < 0)
                    break;
                code = std::min<char32_t>(code * (hex ? 16 : 10) + char32_t(digit), 0x110000);
            }
            if (at == digitsStart) {
                out += c;
                ++pos;
                continue;
            }
            if (at < value.size() && value[at] == ';')
                ++at;
            appendCodePoint(out, code);
            pos = at;
            continue;
        }
        const qsizetype nameStart = at;
        while (at < value.size() && isAsciiAlnum(value[at]))
            ++at;
        const std::string_view name(value.data() + nameStart, size_t(at - nameStart));
        const bool terminated = at < value.size() && value[at] == ';';
        const auto known = std::find_if(kNamedReferences.begin(), kNamedReferences.end(),
                                        [&](const NamedReference& reference) { return reference.name == name; });
        // Without its ";", a reference in an attribute is undone only when "=" does not follow: "?a=1&lt=2"
        // keeps its "&lt".
        if (known != kNamedReferences.end() && (terminated || (at < value.size() ? value[at] != '=' : true))) {
            appendCodePoint(out, known->code);
            pos = terminated ? at + 1 : at;
        } else {
            out += c;
            ++pos;
        }
    }
    return out;
}

void HtmlTokenizer::tokenize(QByteArrayView html, const TagHandler& onTag, const RawTextHandler& onRawText,
                             bool* capped)
{
    Tokenizer tokenizer(html, onTag, onRawText);
    tokenizer.run();
    if (capped && tokenizer.capped())
        *capped = true;
}
