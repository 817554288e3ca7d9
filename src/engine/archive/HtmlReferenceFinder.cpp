#include "engine/archive/HtmlReferenceFinder.h"

#include "engine/archive/CssReferenceFinder.h"
#include "engine/archive/HtmlTokenizer.h"
#include "engine/archive/ResourceResolver.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace
{

using Kind = PageReference::Kind;

// The length in bytes of the space (a character QChar::isSpace takes for one) that starts at `pos` of UTF-8
// text; 0 where none does. Attribute text is read as bytes, so that what is too long to be an address is
// never made into a QString at all.
qsizetype spaceAt(QByteArrayView text, qsizetype pos)
{
    const auto byte = [&](qsizetype i) { return i >= 0 && i < text.size() ? quint8(text[i]) : quint8(0); };
    const quint8 c = byte(pos);
    const quint8 second = byte(pos + 1);
    const quint8 third = byte(pos + 2);
    if (c == ' ' || (c >= 0x09 && c <= 0x0D))
        return 1;
    if (c == 0xC2 && (second == 0x85 || second == 0xA0))
        return 2;
    const bool wide =
        (c == 0xE1 && second == 0x9A && third == 0x80) || // U+1680
        (c == 0xE2 && second == 0x80 && (third <= 0x8A || third == 0xA8 || third == 0xA9 || third == 0xAF) &&
         third >= 0x80) ||                                // U+2000-202F
        (c == 0xE2 && second == 0x81 && third == 0x9F) || // U+205F
        (c == 0xE3 && second == 0x80 && third == 0x80);   // U+3000
    return wide ? 3 : 0;
}

bool isSpaceAt(QByteArrayView text, qsizetype pos)
{
    return spaceAt(text, pos) > 0;
}

// `text` without the spaces it starts and ends with, as QString::trimmed() would have it.
QByteArrayView trimmed(QByteArrayView text)
{
    while (qsizetype length = spaceAt(text, 0))
        text = text.sliced(length);
    for (;;) {
        const qsizetype size = text.size();
        if (spaceAt(text, size - 1) == 1)
            text.chop(1);
        else if (spaceAt(text, size - 2) == 2)
            text.chop(2);
        else if (spaceAt(text, size - 3) == 3)
            text.chop(3);
        else
            return text;
    }
}

// The addresses of a srcset, each given to `take` until it returns false: candidates separated by commas,
// each an address and an optional descriptor. An address may itself hold commas (data: addresses); one
// ends at a blank, or at a comma it ends with.
template <typename Take>
void forEachSrcsetAddress(QByteArrayView srcset, Take take)
{
    qsizetype pos = 0;
    const qsizetype size = srcset.size();
    while (pos < size) {
        while (pos < size && (srcset[pos] == ',' || isSpaceAt(srcset, pos)))
            pos += std::max<qsizetype>(spaceAt(srcset, pos), 1);
        const qsizetype start = pos;
        while (pos < size && !isSpaceAt(srcset, pos))
            ++pos;
        QByteArrayView address = srcset.sliced(start, pos - start);
        const bool endsCandidate = address.endsWith(',');
        while (address.endsWith(','))
            address.chop(1);
        if (!address.isEmpty() && !take(address))
            return;
        if (endsCandidate)
            continue;
        // Skip the descriptor up to the comma that ends the candidate, parentheses kept together.
        int depth = 0;
        for (; pos < size; ++pos) {
            const char c = srcset[pos];
            if (c == '(')
                ++depth;
            else if (c == ')' && depth > 0)
                --depth;
            else if (c == ',' && depth == 0)
                break;
        }
    }
}

// Whether an attribute of this name may make a tag load anything.
bool mayLoad(const QByteArray& name)
{
    static constexpr std::array<std::string_view, 9> kNames{"src",        "srcset", "style",       "href",      "data",
                                                            "xlink:href", "poster", "imagesrcset", "background"};
    const std::string_view wanted(name.constData(), size_t(name.size()));
    return std::find(kNames.begin(), kNames.end(), wanted) != kNames.end();
}

bool relHas(const QString& rel, QStringView token)
{
    for (const QString& word : rel.simplified().split(u' ', Qt::SkipEmptyParts)) {
        if (word.compare(token, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

class ReferenceCollector
{
public:
    HtmlReferenceFinder::Found found;

    void element(const HtmlTokenizer::StartTag& element)
    {
        // Most tags name nothing to load: those are passed over at the cost of a look at their attributes.
        if (std::none_of(element.attributes.begin(), element.attributes.end(),
                         [](const auto& attribute) { return mayLoad(attribute.first); }))
            return;
        const QByteArray& tag = element.name;
        if (const QByteArray* style = element.value("style"))
            addCss(*style);

        if (tag == "base") {
            if (!baseSeen_ && element.value("href")) {
                baseSeen_ = true;
                found.baseHref = valueOf(element, "href");
            }
        } else if (tag == "link") {
            const QString rel = valueOf(element, "rel");
            const QString href = valueOf(element, "href");
            if (relHas(rel, u"stylesheet"))
                add(href, Kind::StyleSheet);
            else if (relHas(rel, u"icon") || relHas(rel, u"apple-touch-icon"))
                add(href, Kind::Resource);
            else if (relHas(rel, u"preload") || relHas(rel, u"prefetch"))
                add(href, valueOf(element, "as").compare(u"style", Qt::CaseInsensitive) == 0 ? Kind::StyleSheet
                                                                                             : Kind::Resource);
            addSrcset(element.value("imagesrcset"));
        } else if (tag == "script") {
            add(valueOf(element, "src"), Kind::Script);
        } else if (tag == "iframe" || tag == "frame") {
            add(valueOf(element, "src"), Kind::Frame);
        } else if (tag == "object") {
            add(valueOf(element, "data"), Kind::Resource);
        } else if (tag == "image" || tag == "use" || tag == "feimage") {
            // SVG written inline: href, or the older xlink:href
            const QString href = valueOf(element, "href");
            add(href.isEmpty() ? valueOf(element, "xlink:href") : href, Kind::Resource);
        } else {
            add(valueOf(element, "src"), Kind::Resource);
        }
        addSrcset(element.value("srcset"));
        add(valueOf(element, "background"), Kind::Resource);
        add(valueOf(element, "poster"), Kind::Resource);
    }

    void styleText(QByteArrayView css) { addCss(css); }

private:
    // The value of attribute `name` as text, trimmed; empty without one, and for one too long to be an
    // address.
    QString valueOf(const HtmlTokenizer::StartTag& tag, const char* name)
    {
        const QByteArray* value = tag.value(name);
        return value ? text(*value) : QString();
    }

    QString text(QByteArrayView value)
    {
        value = trimmed(value);
        if (value.size() > HtmlReferenceFinder::kMaxReferenceLength) {
            if (!ResourceResolver::isDataAddress(value))
                found.capped = true;
            return {};
        }
        return QString::fromUtf8(value);
    }

    void add(const QString& text, Kind kind)
    {
        if (text.isEmpty() || full_)
            return;
        if (found.references.size() >= HtmlReferenceFinder::kMaxReferences ||
            totalLength_ + text.size() > HtmlReferenceFinder::kMaxTotalLength) {
            found.capped = true;
            full_ = true;
            return;
        }
        totalLength_ += text.size();
        found.references.append(PageReference{text, kind});
    }

    void addSrcset(const QByteArray* srcset)
    {
        if (!srcset)
            return;
        forEachSrcsetAddress(*srcset, [&](QByteArrayView address) {
            add(text(address), Kind::Resource);
            return !full_;
        });
    }

    void addCss(QByteArrayView css)
    {
        if (full_)
            return;
        for (PageReference& reference : CssReferenceFinder::findInUtf8(
                 css, HtmlReferenceFinder::kMaxReferences - found.references.size(), &found.capped))
            add(reference.text, reference.kind);
    }

    bool baseSeen_ = false;
    qsizetype totalLength_ = 0; // of the texts in found.references
    bool full_ = false;         // a cap on what is kept is reached: nothing more can be
};

} // namespace

HtmlReferenceFinder::Found HtmlReferenceFinder::find(QByteArrayView html)
{
    ReferenceCollector collector;
    bool capped = false;
    HtmlTokenizer::tokenize(
        html, [&](const HtmlTokenizer::StartTag& tag) { collector.element(tag); },
        [&](const QByteArray& tagName, QByteArrayView text) {
            if (tagName == "style")
                collector.styleText(text);
        },
        &capped);
    HtmlReferenceFinder::Found found = std::move(collector.found);
    found.capped = found.capped || capped;
    return found;
}
