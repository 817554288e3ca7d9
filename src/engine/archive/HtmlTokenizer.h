#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <functional>
#include <utility>

// The start tags of an HTML document as an HTML5 tokenizer sees them: comments, doctypes, processing
// instructions and end tags passed over; the text of raw-text and escapable raw-text elements (script,
// style, textarea, title, xmp, iframe, noembed, noframes, noscript, plaintext) not read as markup.
// Tag and attribute names in lower case, any quoting, tags across lines, character references in
// attribute values undone. Linear in the text and holding one tag at a time: no tree is built, so
// neither deep nesting nor a large page costs more than reading it, and a tag keeps at most
// kMaxAttributes attributes, however many it has.
class HtmlTokenizer
{
public:
    // Attributes past this many in one tag are read past and dropped: real tags carry tens, and each one
    // kept costs memory whatever its size, so a tag of millions would cost far more than its text.
    static constexpr qsizetype kMaxAttributes = 1000;

    struct StartTag
    {
        QByteArray name;
        // In order; a repeated name keeps the first. A value without character references shares the
        // tokenized text's bytes rather than copying them: it is valid while that text is.
        QList<std::pair<QByteArray, QByteArray>> attributes;

        // The value of the attribute `name` (lower case); nullptr without one.
        const QByteArray* value(QByteArrayView attributeName) const;
    };

    using TagHandler = std::function<void(const StartTag&)>;
    // The text of a raw-text element, by its tag name.
    using RawTextHandler = std::function<void(const QByteArray& tagName, QByteArrayView text)>;

    // `html` is UTF-8. `*capped` (where given) is set when a tag had more than kMaxAttributes attributes,
    // and left as it was otherwise.
    static void tokenize(QByteArrayView html, const TagHandler& onTag, const RawTextHandler& onRawText,
                         bool* capped = nullptr);

    // `value` with its character references (&amp;, &#38;, &#x26; and the other common names) undone.
    static QByteArray unescape(QByteArrayView value);
};
