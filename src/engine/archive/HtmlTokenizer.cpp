#include "engine/archive/HtmlTokenizer.h"

#include <QString>
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

void appendCodePoint(QByteArray& out, char32_t code)
{
    if (code == 0 || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        code = 0xFFFD;
    out += QString::fromUcs4(&code, 1).toUtf8();
}

class Tokenizer
{
public:
    Tokenizer(QByteArrayView html, const HtmlTokenizer::TagHandler& onTag, const HtmlTokenizer::RawTextHandler& onRaw)
        : text_(html.data()), size_(html.size()), onTag_(onTag), onRaw_(onRaw)
    {}

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
                    StartTag ignored; // an end tag's attributes are read and dropped
                    if (!tag(ignored))
                        return;
                } else {
                    skipPast('>');
                }
            } else if (c == '?') {
                skipPast('>');
            } else if (isAsciiLetter(c)) {
                HtmlTokenizer::StartTag start;
                // A tag the text ends inside is no tag.
                if (!tag(start))
                    return;
                onTag_(start);
                if (isRawTextElement(std::string_view(start.name.constData(), size_t(start.name.size()))))
                    rawText(start.name);
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
        for (; pos_ < size_; ++pos_) {
            if (startsWith("-->")) {
                pos_ += 3;
                return;
            }
            if (startsWith("--!>")) {
                pos_ += 4;
                return;
            }
        }
    }

    // A tag from its name's first letter to its ">", attributes read into `start`. False when the text
    // ends before the ">".
    bool tag(StartTag& start)
    {
        const qsizetype nameStart = pos_;
        while (pos_ < size_ && !isBlank(text_[pos_]) && text_[pos_] != '/' && text_[pos_] != '>')
            ++pos_;
        start.name.resize(pos_ - nameStart);
        std::transform(text_ + nameStart, text_ + pos_, start.name.data(), lower);
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
            attribute(start);
        }
        return false;
    }

    void attribute(StartTag& start)
    {
        const qsizetype nameStart = pos_;
        ++pos_; // the first character may be "=", which then belongs to the name
        while (pos_ < size_ && !isBlank(text_[pos_]) && text_[pos_] != '/' && text_[pos_] != '>' && text_[pos_] != '=')
            ++pos_;
        QByteArray name(pos_ - nameStart, Qt::Uninitialized);
        std::transform(text_ + nameStart, text_ + pos_, name.data(), lower);
        qsizetype next = pos_;
        while (next < size_ && isBlank(text_[next]))
            ++next;
        QByteArray value;
        if (next < size_ && text_[next] == '=') {
            pos_ = next + 1;
            while (pos_ < size_ && isBlank(text_[pos_]))
                ++pos_;
            if (pos_ < size_ && (text_[pos_] == '"' || text_[pos_] == '\'')) {
                const char quote = text_[pos_++];
                const char* end = static_cast<const char*>(std::memchr(text_ + pos_, quote, size_t(size_ - pos_)));
                const qsizetype stop = end ? end - text_ : size_;
                value = HtmlTokenizer::unescape(QByteArrayView(text_ + pos_, stop - pos_));
                pos_ = std::min(stop + 1, size_);
            } else {
                const qsizetype valueStart = pos_;
                while (pos_ < size_ && !isBlank(text_[pos_]) && text_[pos_] != '>')
                    ++pos_;
                value = HtmlTokenizer::unescape(QByteArrayView(text_ + valueStart, pos_ - valueStart));
            }
        }
        if (!start.value(name))
            start.attributes.append({std::move(name), std::move(value)});
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
};

} // namespace

const QByteArray* HtmlTokenizer::StartTag::value(QByteArrayView attributeName) const
{
    for (const auto& [name, value] : attributes) {
        if (name == attributeName)
            return &value;
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

void HtmlTokenizer::tokenize(QByteArrayView html, const TagHandler& onTag, const RawTextHandler& onRawText)
{
    Tokenizer(html, onTag, onRawText).run();
}
