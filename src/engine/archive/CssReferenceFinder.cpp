#include "engine/archive/CssReferenceFinder.h"

#include "engine/archive/ResourceResolver.h"

#include <QString>
#include <algorithm>
#include <string_view>
#include <type_traits>

namespace
{

bool isBlank(char32_t c)
{
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r' || c == u'\f';
}

// ASCII letters and digits, "-", "_" and everything past ASCII.
bool isNameChar(char32_t c)
{
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') || c == u'-' || c == u'_' ||
           c >= 0x80;
}

char32_t lowerAscii(char32_t c)
{
    return c >= u'A' && c <= u'Z' ? c - u'A' + u'a' : c;
}

int hexValue(char32_t u)
{
    if (u >= u'0' && u <= u'9')
        return int(u - u'0');
    if (u >= u'a' && u <= u'f')
        return int(u - u'a' + 10);
    if (u >= u'A' && u <= u'F')
        return int(u - u'A' + 10);
    return -1;
}

// The code units of a sheet, UTF-16 (char16_t) or UTF-8 (char): everything that matters to the scan is
// ASCII, so one scan reads both, and a page's sheets need not become UTF-16 first.
template <typename Unit>
class Units
{
public:
    using Text = std::conditional_t<std::is_same_v<Unit, char>, QByteArray, QString>;

    Units(const Unit* data, qsizetype size) : data_(data), size_(size) {}

    qsizetype size() const { return size_; }
    // The unit at `i` as a number; 0 past the end.
    char32_t at(qsizetype i) const
    {
        return i >= 0 && i < size_ ? char32_t(static_cast<std::make_unsigned_t<Unit>>(data_[i])) : 0;
    }
    Unit unit(qsizetype i) const { return data_[i]; }

    // Whether the units from `from` are `word` (lower case ASCII) in any letter case.
    bool matchesAt(qsizetype from, std::string_view word) const
    {
        if (from < 0 || size_ - from < qsizetype(word.size()))
            return false;
        for (std::size_t i = 0; i < word.size(); ++i) {
            if (lowerAscii(at(from + qsizetype(i))) != char32_t(word[i]))
                return false;
        }
        return true;
    }

    // The first `c` at or after `from`; size() without one.
    qsizetype find(char32_t c, qsizetype from) const
    {
        from = std::min(from, size_);
        return std::find(data_ + from, data_ + size_, Unit(c)) - data_;
    }

    static QString toString(const Text& text)
    {
        if constexpr (std::is_same_v<Unit, char>)
            return QString::fromUtf8(text);
        else
            return text;
    }

    static void appendCodePoint(Text& text, char32_t code)
    {
        if constexpr (std::is_same_v<Unit, char>)
            text += QString::fromUcs4(&code, 1).toUtf8();
        else
            text += QString::fromUcs4(&code, 1);
    }

private:
    const Unit* data_;
    qsizetype size_;
};

// Reads CSS text left to right, once: no construct makes it go back or call itself.
template <typename Unit>
class CssScanner
{
    using Text = typename Units<Unit>::Text;

    // The text of a string or url() as it is read, kept up to kMaxReferenceLength units.
    struct Address
    {
        Text text;
        bool overlong = false;

        void append(Unit unit)
        {
            if (text.size() < CssReferenceFinder::kMaxReferenceLength)
                text += unit;
            else
                overlong = true;
        }
        void appendCodePoint(char32_t code)
        {
            if (text.size() < CssReferenceFinder::kMaxReferenceLength)
                Units<Unit>::appendCodePoint(text, code);
            else
                overlong = true;
        }
    };

public:
    CssScanner(Units<Unit> css, qsizetype maxReferences) : css_(css), maxReferences_(maxReferences) {}

    bool capped() const { return capped_; }

    QList<PageReference> references()
    {
        while (pos_ < css_.size() && !full_) {
            const char32_t c = css_.at(pos_);
            if (c == u'/' && css_.at(pos_ + 1) == u'*') {
                skipComment();
            } else if (c == u'"' || c == u'\'') {
                Address ignored;
                readString(ignored);
            } else if (c == u'\\') {
                pos_ += 2; // an escaped character is part of a name, never the start of anything
            } else if (c == u'@' && startsWithWord(pos_ + 1, "import")) {
                pos_ += 7;
                readImport();
            } else if (isNameChar(c) && (pos_ == 0 || !isNameChar(css_.at(pos_ - 1)))) {
                readFunction();
            } else {
                ++pos_;
            }
        }
        return found_;
    }

private:
    bool startsWithWord(qsizetype from, std::string_view word) const
    {
        return css_.matchesAt(from, word) && !isNameChar(css_.at(from + qsizetype(word.size())));
    }

    void skipBlanks()
    {
        while (pos_ < css_.size() && isBlank(css_.at(pos_)))
            ++pos_;
    }

    void skipPast(char32_t c) { pos_ = std::min(css_.find(c, pos_) + 1, css_.size()); }

    void skipComment()
    {
        for (qsizetype star = css_.find(u'*', pos_ + 2); star < css_.size(); star = css_.find(u'*', star + 1)) {
            if (css_.at(star + 1) == u'/') {
                pos_ = star + 2;
                return;
            }
        }
        pos_ = css_.size();
    }

    // An escape after its backslash: a code point of up to six hex digits with one blank after it, or the
    // character itself. Advances past it.
    void readEscape(Address& into)
    {
        qsizetype digits = 0;
        char32_t code = 0;
        for (int value; digits < 6 && (value = hexValue(css_.at(pos_))) >= 0; ++digits, ++pos_)
            code = code * 16 + char32_t(value);
        if (digits > 0) {
            if (pos_ < css_.size() && isBlank(css_.at(pos_)))
                ++pos_;
            if (code == 0 || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
                code = 0xFFFD;
            into.appendCodePoint(code);
        } else if (pos_ < css_.size()) {
            into.append(css_.unit(pos_++));
        }
    }

    // A quoted string from its opening quote. An unescaped line break ends it, as in CSS.
    void readString(Address& into)
    {
        const char32_t quote = css_.at(pos_++);
        while (pos_ < css_.size()) {
            const char32_t c = css_.at(pos_);
            if (c == quote) {
                ++pos_;
                break;
            }
            if (c == u'\n')
                break;
            if (c == u'\\') {
                ++pos_;
                if (css_.at(pos_) == u'\n') {
                    ++pos_;
                    continue;
                }
                readEscape(into);
            } else {
                into.append(css_.unit(pos_++));
            }
        }
    }

    // The address of url(, the "url(" read already, as a reference of `kind`.
    void readUrl(PageReference::Kind kind)
    {
        Address address;
        readUrlArgument(address);
        add(address, kind);
    }

    // The inside of url( up to its ")", the "url(" read already.
    void readUrlArgument(Address& into)
    {
        skipBlanks();
        if (css_.at(pos_) == u'"' || css_.at(pos_) == u'\'') {
            readString(into);
            skipPast(u')');
            return;
        }
        while (pos_ < css_.size() && css_.at(pos_) != u')') {
            if (css_.at(pos_) == u'\\') {
                ++pos_;
                readEscape(into);
            } else {
                into.append(css_.unit(pos_++));
            }
        }
        pos_ = std::min(pos_ + 1, css_.size());
    }

    void add(const Address& address, PageReference::Kind kind)
    {
        const QString text = Units<Unit>::toString(address.text).trimmed();
        if (address.overlong) {
            if (!ResourceResolver::isDataAddress(text))
                capped_ = true;
            return;
        }
        if (text.isEmpty())
            return;
        if (found_.size() >= maxReferences_ || totalLength_ + text.size() > CssReferenceFinder::kMaxTotalLength) {
            capped_ = true;
            full_ = true;
            return;
        }
        totalLength_ += text.size();
        found_.append(PageReference{text, kind});
    }

    enum class Function
    {
        None, // a word that names no function
        Url,
        ImageSet, // image-set( with any prefix: -webkit-image-set(
        Other,
    };

    // A word at pos_, read past, and the function it names where "(" follows it, read past too.
    Function readWord()
    {
        const qsizetype start = pos_;
        while (pos_ < css_.size() && isNameChar(css_.at(pos_)))
            ++pos_;
        if (css_.at(pos_) != u'(')
            return Function::None;
        const qsizetype length = pos_ - start;
        ++pos_;
        if (length == 3 && css_.matchesAt(start, "url"))
            return Function::Url;
        if (length >= 9 && css_.matchesAt(pos_ - 10, "image-set"))
            return Function::ImageSet;
        return Function::Other;
    }

    // A word at pos_ and, where "(" follows it, the function it names: url( and image-set( matter,
    // anything else is passed over. Leaves pos_ past the word, or past what the function holds.
    void readFunction()
    {
        const Function function = readWord();
        if (function == Function::Url)
            readUrl(PageReference::Kind::Resource);
        else if (function == Function::ImageSet)
            readImageSet();
    }

    // The candidates of image-set(, read up to its ")": strings and url()s are addresses, type("image/png")
    // and the like are not. An image-set( inside it opens a level of its own, up to kMaxNesting of them;
    // when one closes, what remains of the function it stood in is passed over.
    void readImageSet()
    {
        int depth = 1;
        while (depth > 0 && !full_) {
            skipBlanks();
            if (pos_ >= css_.size())
                return;
            const char32_t c = css_.at(pos_);
            if (c == u')') {
                ++pos_;
                if (--depth > 0)
                    skipPast(u')');
            } else if (c == u'"' || c == u'\'') {
                Address address;
                readString(address);
                add(address, PageReference::Kind::Resource);
            } else if (isNameChar(c)) {
                const Function function = readWord();
                if (function == Function::Url) {
                    readUrl(PageReference::Kind::Resource);
                } else if (function == Function::ImageSet && depth < CssReferenceFinder::kMaxNesting) {
                    ++depth;
                } else if (function != Function::None) {
                    if (function == Function::ImageSet)
                        capped_ = true;
                    skipPast(u')');
                }
            } else {
                ++pos_;
            }
        }
    }

    // What follows "@import": a string or url(...).
    void readImport()
    {
        skipBlanks();
        if (css_.at(pos_) == u'"' || css_.at(pos_) == u'\'') {
            Address address;
            readString(address);
            add(address, PageReference::Kind::StyleSheet);
        } else if (css_.matchesAt(pos_, "url(")) {
            pos_ += 4;
            readUrl(PageReference::Kind::StyleSheet);
        }
    }

    const Units<Unit> css_;
    const qsizetype maxReferences_;
    qsizetype pos_ = 0;
    QList<PageReference> found_;
    qsizetype totalLength_ = 0; // of the texts in found_
    bool capped_ = false;
    bool full_ = false; // a cap on what is kept is reached: nothing more can be
};

// Whether the text has "url(", "image-set(" or "@import" in any letter case: the only ways a sheet loads
// anything. Looks for the rare "(" and "@" first.
template <typename Unit>
bool mayLoadAnything(Units<Unit> css)
{
    for (qsizetype open = css.find(u'(', 0); open < css.size(); open = css.find(u'(', open + 1)) {
        if (css.matchesAt(open - 3, "url") || css.matchesAt(open - 9, "image-set"))
            return true;
    }
    for (qsizetype at = css.find(u'@', 0); at < css.size(); at = css.find(u'@', at + 1)) {
        if (css.matchesAt(at + 1, "import"))
            return true;
    }
    return false;
}

template <typename Unit>
QList<PageReference> findIn(Units<Unit> css, qsizetype maxReferences, bool* capped)
{
    // Most rules load nothing: a sheet that cannot is not scanned.
    if (!mayLoadAnything(css))
        return {};
    CssScanner<Unit> scanner(css, maxReferences);
    QList<PageReference> found = scanner.references();
    if (capped && scanner.capped())
        *capped = true;
    return found;
}

} // namespace

QList<PageReference> CssReferenceFinder::find(QStringView css, qsizetype maxReferences, bool* capped)
{
    return findIn(Units<char16_t>(css.utf16(), css.size()), maxReferences, capped);
}

QList<PageReference> CssReferenceFinder::findInUtf8(QByteArrayView css, qsizetype maxReferences, bool* capped)
{
    return findIn(Units<char>(css.data(), css.size()), maxReferences, capped);
}
