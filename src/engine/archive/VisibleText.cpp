#include "engine/archive/VisibleText.h"

#include "engine/archive/HtmlTokenizer.h"

#include <array>

namespace
{

// Elements whose content is never shown as text.
bool isHidden(QByteArrayView name)
{
    static constexpr std::array<QByteArrayView, 7> kNames = {"script", "style", "template", "noscript",
                                                             "iframe", "svg",   "object"};
    for (const QByteArrayView hidden : kNames) {
        if (name.compare(hidden, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

bool isNameCharacter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
}

} // namespace

QString VisibleText::of(const QByteArray& html)
{
    QByteArray text;
    QByteArray run; // text between two tags, unescaped when the tag comes
    bool space = true;
    const auto flush = [&] {
        for (const char c : HtmlTokenizer::unescape(run)) {
            const bool blank = c == ' ' || c == '\n' || c == '\r' || c == '\t' || c == '\f';
            if (blank) {
                if (!space)
                    text.append(' ');
                space = true;
            } else {
                text.append(c);
                space = false;
            }
        }
        run.clear();
    };
    const qsizetype size = html.size();
    qsizetype i = 0;
    while (i < size && text.size() < kMaxTextBytes) {
        const char c = html[i];
        if (c != '<') {
            run.append(c);
            // A page of text without tags is unescaped a slice at a time, so the cap holds.
            if (run.size() >= 64 * 1024)
                flush();
            ++i;
            continue;
        }
        flush();
        if (QByteArrayView(html).sliced(i).startsWith("<!--")) {
            const qsizetype end = html.indexOf("-->", i + 4);
            i = end < 0 ? size : end + 3;
            continue;
        }
        // A doctype, a processing instruction, a CDATA section: nothing a reader sees.
        if (i + 1 < size && (html[i + 1] == '!' || html[i + 1] == '?')) {
            const qsizetype end = html.indexOf('>', i + 2);
            i = end < 0 ? size : end + 1;
            continue;
        }
        qsizetype nameEnd = i + 1;
        const bool closing = nameEnd < size && html[nameEnd] == '/';
        if (closing)
            ++nameEnd;
        const qsizetype nameStart = nameEnd;
        while (nameEnd < size && isNameCharacter(html[nameEnd]))
            ++nameEnd;
        const QByteArrayView name = QByteArrayView(html).sliced(nameStart, nameEnd - nameStart);
        const bool startsWithLetter =
            !name.isEmpty() && ((name[0] >= 'a' && name[0] <= 'z') || (name[0] >= 'A' && name[0] <= 'Z'));
        if (!startsWithLetter && !closing) {
            run.append(c); // a "<" that starts no tag is text
            ++i;
            continue;
        }
        const qsizetype tagEnd = html.indexOf('>', nameEnd);
        i = tagEnd < 0 ? size : tagEnd + 1;
        if (!closing && isHidden(name)) {
            // Skip to the element's end tag, in any letter case.
            const QByteArray endTag = "</" + name.toByteArray().toLower();
            qsizetype at = i;
            for (;;) {
                at = html.indexOf("</", at);
                if (at < 0 || QByteArrayView(html)
                                      .sliced(at)
                                      .first(std::min<qsizetype>(endTag.size(), size - at))
                                      .compare(endTag, Qt::CaseInsensitive) == 0)
                    break;
                at += 2;
            }
            const qsizetype close = at < 0 ? -1 : html.indexOf('>', at);
            i = close < 0 ? size : close + 1;
        }
        // Block-level tags separate words.
        if (!space) {
            text.append(' ');
            space = true;
        }
    }
    flush();
    if (text.endsWith(' '))
        text.chop(1);
    return QString::fromUtf8(text.left(kMaxTextBytes));
}
