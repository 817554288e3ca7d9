#include "engine/archive/CssReferenceFinder.h"

namespace
{

bool isBlank(QChar c)
{
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r' || c == u'\f';
}

bool isNameChar(QChar c)
{
    return c.isLetterOrNumber() || c == u'-' || c == u'_' || c.unicode() >= 0x80;
}

// Reads CSS text left to right.
class CssScanner
{
public:
    CssScanner(QStringView css, qsizetype maxReferences) : css_(css), maxReferences_(maxReferences) {}

    QList<PageReference> references()
    {
        while (pos_ < css_.size() && found_.size() < maxReferences_) {
            const QChar c = css_[pos_];
            if (c == u'/' && at(pos_ + 1) == u'*') {
                skipComment();
            } else if (c == u'"' || c == u'\'') {
                readString();
            } else if (c == u'\\') {
                pos_ += 2; // an escaped character is part of a name, never the start of anything
            } else if (c == u'@' && startsWithWord(pos_ + 1, u"import")) {
                pos_ += 7;
                readImport();
            } else if (isNameChar(c) && (pos_ == 0 || !isNameChar(css_[pos_ - 1]))) {
                readName();
            } else {
                ++pos_;
            }
        }
        return found_;
    }

private:
    QChar at(qsizetype i) const { return i < css_.size() ? css_[i] : QChar(); }

    bool startsWithWord(qsizetype from, QStringView word) const
    {
        return css_.sliced(std::min(from, css_.size())).startsWith(word, Qt::CaseInsensitive) &&
               !isNameChar(at(from + word.size()));
    }

    void skipBlanks()
    {
        while (pos_ < css_.size() && isBlank(css_[pos_]))
            ++pos_;
    }

    void skipComment()
    {
        const qsizetype end = css_.indexOf(u"*/", pos_ + 2);
        pos_ = end < 0 ? css_.size() : end + 2;
    }

    // An escape after its backslash: a code point of up to six hex digits with one blank after it, or the
    // character itself. Advances past it.
    QString readEscape()
    {
        qsizetype digits = 0;
        char32_t code = 0;
        for (int value; digits < 6 && (value = hexValue(at(pos_))) >= 0; ++digits, ++pos_)
            code = code * 16 + char32_t(value);
        if (digits > 0) {
            if (pos_ < css_.size() && isBlank(css_[pos_]))
                ++pos_;
            if (code == 0 || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
                code = 0xFFFD;
            return QString::fromUcs4(&code, 1);
        }
        if (pos_ >= css_.size())
            return {};
        return QString(css_[pos_++]);
    }

    static int hexValue(QChar c)
    {
        const char16_t u = c.unicode();
        if (u >= u'0' && u <= u'9')
            return u - u'0';
        if (u >= u'a' && u <= u'f')
            return u - u'a' + 10;
        if (u >= u'A' && u <= u'F')
            return u - u'A' + 10;
        return -1;
    }

    // A quoted string from its opening quote; its text. An unescaped line break ends it, as in CSS.
    QString readString()
    {
        const QChar quote = css_[pos_++];
        QString text;
        while (pos_ < css_.size()) {
            const QChar c = css_[pos_];
            if (c == quote) {
                ++pos_;
                break;
            }
            if (c == u'\n')
                break;
            ++pos_;
            if (c == u'\\') {
                if (at(pos_) == u'\n') {
                    ++pos_;
                    continue;
                }
                text += readEscape();
            } else {
                text += c;
            }
        }
        return text;
    }

    // The inside of url( up to its ")", the "url(" read already.
    QString readUrlArgument()
    {
        skipBlanks();
        if (at(pos_) == u'"' || at(pos_) == u'\'') {
            QString text = readString();
            const qsizetype close = css_.indexOf(u')', pos_);
            pos_ = close < 0 ? css_.size() : close + 1;
            return text;
        }
        QString text;
        while (pos_ < css_.size() && css_[pos_] != u')') {
            const QChar c = css_[pos_++];
            text += c == u'\\' ? readEscape() : QString(c);
        }
        ++pos_;
        return text.trimmed();
    }

    void add(const QString& text, PageReference::Kind kind)
    {
        const QString trimmed = text.trimmed();
        if (!trimmed.isEmpty() && found_.size() < maxReferences_)
            found_.append(PageReference{trimmed, kind});
    }

    // A word starting at pos_: url( and image-set( matter, anything else is passed over. Gives the name
    // of the function it read, with pos_ past its "(" (and, for url(, past its ")"); empty for a word
    // that is not a function.
    QStringView readName()
    {
        const qsizetype start = pos_;
        while (pos_ < css_.size() && isNameChar(css_[pos_]))
            ++pos_;
        if (at(pos_) != u'(')
            return {};
        const QStringView name = css_.sliced(start, pos_ - start);
        ++pos_;
        if (name.compare(u"url", Qt::CaseInsensitive) == 0) {
            add(readUrlArgument(), PageReference::Kind::Resource);
        } else if (name.endsWith(u"image-set", Qt::CaseInsensitive)) {
            // Its candidates may be bare strings; type("image/png") and the like are not addresses.
            for (skipBlanks(); pos_ < css_.size() && css_[pos_] != u')'; skipBlanks()) {
                if (css_[pos_] == u'"' || css_[pos_] == u'\'') {
                    add(readString(), PageReference::Kind::Resource);
                } else if (isNameChar(css_[pos_])) {
                    const QStringView inner = readName();
                    if (!inner.isEmpty() && inner.compare(u"url", Qt::CaseInsensitive) != 0)
                        skipPast(u')');
                } else {
                    ++pos_;
                }
            }
            ++pos_;
        }
        return name;
    }

    void skipPast(QChar c)
    {
        const qsizetype end = css_.indexOf(c, pos_);
        pos_ = end < 0 ? css_.size() : end + 1;
    }

    // What follows "@import": a string or url(...).
    void readImport()
    {
        skipBlanks();
        if (at(pos_) == u'"' || at(pos_) == u'\'') {
            add(readString(), PageReference::Kind::StyleSheet);
        } else if (css_.sliced(pos_).startsWith(u"url(", Qt::CaseInsensitive)) {
            pos_ += 4;
            add(readUrlArgument(), PageReference::Kind::StyleSheet);
        }
    }

    const QStringView css_;
    const qsizetype maxReferences_;
    qsizetype pos_ = 0;
    QList<PageReference> found_;
};

} // namespace

namespace
{

// Whether the text has "url(", "image-set(" or "@import" in any letter case: the only ways a sheet loads
// anything. Looks for the rare "(" and "@" first, with Qt's vectorised search for one character.
bool mayLoadAnything(QStringView css)
{
    for (qsizetype open = css.indexOf(u'('); open >= 0; open = css.indexOf(u'(', open + 1)) {
        const QStringView before = css.first(open);
        if (before.endsWith(u"url", Qt::CaseInsensitive) || before.endsWith(u"image-set", Qt::CaseInsensitive))
            return true;
    }
    for (qsizetype at = css.indexOf(u'@'); at >= 0; at = css.indexOf(u'@', at + 1)) {
        if (css.sliced(at + 1).startsWith(u"import", Qt::CaseInsensitive))
            return true;
    }
    return false;
}

} // namespace

QList<PageReference> CssReferenceFinder::find(QStringView css, qsizetype maxReferences)
{
    // Most rules load nothing: a sheet that cannot is not scanned.
    if (!mayLoadAnything(css))
        return {};
    return CssScanner(css, maxReferences).references();
}
