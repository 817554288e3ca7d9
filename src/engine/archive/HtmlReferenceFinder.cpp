#include "engine/archive/HtmlReferenceFinder.h"

#include "engine/archive/CssReferenceFinder.h"
#include "engine/archive/HtmlTokenizer.h"

namespace
{

using Kind = PageReference::Kind;

// The value of attribute `name` as text, trimmed; empty without one.
QString valueOf(const HtmlTokenizer::StartTag& tag, const char* name)
{
    const QByteArray* value = tag.value(name);
    return value ? QString::fromUtf8(*value).trimmed() : QString();
}

// The addresses of a srcset: candidates separated by commas, each an address and an optional descriptor.
// An address may itself hold commas (data: addresses); one ends at a blank, or at a comma it ends with.
QStringList srcsetAddresses(const QString& srcset)
{
    QStringList addresses;
    qsizetype pos = 0;
    const qsizetype size = srcset.size();
    while (pos < size) {
        while (pos < size && (srcset[pos].isSpace() || srcset[pos] == u','))
            ++pos;
        const qsizetype start = pos;
        while (pos < size && !srcset[pos].isSpace())
            ++pos;
        QString address = srcset.mid(start, pos - start);
        const bool endsCandidate = address.endsWith(u',');
        while (address.endsWith(u','))
            address.chop(1);
        if (!address.isEmpty())
            addresses << address;
        if (endsCandidate)
            continue;
        // Skip the descriptor up to the comma that ends the candidate, parentheses kept together.
        int depth = 0;
        for (; pos < size; ++pos) {
            const QChar c = srcset[pos];
            if (c == u'(')
                ++depth;
            else if (c == u')' && depth > 0)
                --depth;
            else if (c == u',' && depth == 0)
                break;
        }
    }
    return addresses;
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
        const QByteArray& tag = element.name;
        const QString style = valueOf(element, "style");
        if (!style.isEmpty())
            addCss(style);

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
            if (!valueOf(element, "imagesrcset").isEmpty())
                addSrcset(valueOf(element, "imagesrcset"));
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
        addSrcset(valueOf(element, "srcset"));
        add(valueOf(element, "background"), Kind::Resource);
        add(valueOf(element, "poster"), Kind::Resource);
    }

    void styleText(const QString& css) { addCss(css); }

private:
    void add(const QString& text, Kind kind)
    {
        if (!text.isEmpty() && found.references.size() < HtmlReferenceFinder::kMaxReferences)
            found.references.append(PageReference{text, kind});
    }

    void addSrcset(const QString& srcset)
    {
        for (const QString& address : srcsetAddresses(srcset))
            add(address, Kind::Resource);
    }

    void addCss(const QString& css)
    {
        found.references.append(
            CssReferenceFinder::find(css, HtmlReferenceFinder::kMaxReferences - found.references.size()));
    }

    bool baseSeen_ = false;
};

} // namespace

HtmlReferenceFinder::Found HtmlReferenceFinder::find(QByteArrayView html)
{
    ReferenceCollector collector;
    HtmlTokenizer::tokenize(
        html, [&](const HtmlTokenizer::StartTag& tag) { collector.element(tag); },
        [&](const QByteArray& tagName, QByteArrayView text) {
            if (tagName == "style")
                collector.styleText(QString::fromUtf8(text));
        });
    return std::move(collector.found);
}
