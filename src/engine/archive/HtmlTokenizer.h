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
// neither deep nesting nor a large page costs more than reading it.
class HtmlTokenizer
{
public:
    struct StartTag
    {
        QByteArray name;
        QList<std::pair<QByteArray, QByteArray>> attributes; // in order; a repeated name keeps the first

        // The value of the attribute `name` (lower case); nullptr without one.
        const QByteArray* value(QByteArrayView attributeName) const;
    };

    using TagHandler = std::function<void(const StartTag&)>;
    // The text of a raw-text element, by its tag name.
    using RawTextHandler = std::function<void(const QByteArray& tagName, QByteArrayView text)>;

    // `html` is UTF-8.
    static void tokenize(QByteArrayView html, const TagHandler& onTag, const RawTextHandler& onRawText);

    // `value` with its character references (&amp;, &#38;, &#x26; and the other common names) undone.
    static QByteArray unescape(QByteArrayView value);
};
