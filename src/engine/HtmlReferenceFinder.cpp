#include "engine/HtmlReferenceFinder.h"

#include "engine/CssReferenceFinder.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <gumbo.h>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace
{

using Kind = PageReference::Kind;

bool isAsciiLetter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

// Elements that never hold others, and those whose text is not markup; names in lower case.
bool isVoidElement(std::string_view name)
{
    static constexpr std::array<std::string_view, 15> kNames{"area",  "base",   "br",    "col",  "embed",
                                                             "hr",    "img",    "input", "link", "meta",
                                                             "param", "source", "track", "wbr",  "image"};
    return std::find(kNames.begin(), kNames.end(), name) != kNames.end();
}

bool isRawTextElement(std::string_view name)
{
    static constexpr std::array<std::string_view, 7> kNames{"script", "style",   "textarea", "title",
                                                            "xmp",    "noembed", "noframes"};
    return std::find(kNames.begin(), kNames.end(), name) != kNames.end();
}

QString valueOf(const GumboElement& element, const char* name)
{
    const GumboAttribute* attribute = gumbo_get_attribute(&element.attributes, name);
    return attribute ? QString::fromUtf8(attribute->value).trimmed() : QString();
}

QString tagNameOf(const GumboElement& element)
{
    if (element.tag != GUMBO_TAG_UNKNOWN)
        return QString::fromLatin1(gumbo_normalized_tagname(element.tag));
    GumboStringPiece original = element.original_tag;
    gumbo_tag_from_original_text(&original);
    return QString::fromUtf8(original.data, qsizetype(original.length)).toLower();
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

class TreeWalk
{
public:
    HtmlReferenceFinder::Found found;

    void element(const GumboElement& element)
    {
        const QString tag = tagNameOf(element);
        const QString style = valueOf(element, "style");
        if (!style.isEmpty())
            addCss(style);

        if (tag == u"base") {
            if (!baseSeen_ && gumbo_get_attribute(&element.attributes, "href")) {
                baseSeen_ = true;
                found.baseHref = valueOf(element, "href");
            }
        } else if (tag == u"link") {
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
        } else if (tag == u"script") {
            add(valueOf(element, "src"), Kind::Script);
        } else if (tag == u"iframe" || tag == u"frame") {
            add(valueOf(element, "src"), Kind::Frame);
        } else if (tag == u"object") {
            add(valueOf(element, "data"), Kind::Resource);
        } else if (tag == u"image" || tag == u"use" || tag == u"feimage") {
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
        if (!text.isEmpty())
            found.references.append(PageReference{text, kind});
    }

    void addSrcset(const QString& srcset)
    {
        for (const QString& address : srcsetAddresses(srcset))
            add(address, Kind::Resource);
    }

    void addCss(const QString& css) { found.references.append(CssReferenceFinder::find(css)); }

    bool baseSeen_ = false;
};

struct OutputDeleter
{
    void operator()(GumboOutput* output) const { gumbo_destroy_output(&kGumboDefaultOptions, output); }
};

} // namespace

int HtmlReferenceFinder::nestingBound(QByteArrayView html, int stopAbove)
{
    // Names are short: std::string keeps them without allocating.
    std::unordered_map<std::string, int> open;
    std::string name;
    int depth = 0;
    int deepest = 0;
    qsizetype pos = 0;
    const qsizetype size = html.size();
    const char* const text = html.data();
    while (pos < size && deepest <= stopAbove) {
        const qsizetype lt = html.indexOf('<', pos);
        if (lt < 0 || lt + 1 >= size)
            break;
        pos = lt + 1;
        if (html.sliced(pos).startsWith("!--")) {
            const qsizetype end = html.indexOf("-->", pos + 3);
            pos = end < 0 ? size : end + 3;
            continue;
        }
        const bool closing = text[pos] == '/';
        if (closing)
            ++pos;
        if (pos >= size || !isAsciiLetter(text[pos]))
            continue;
        name.clear();
        for (; pos < size && !isBlank(text[pos]) && text[pos] != '>' && text[pos] != '/'; ++pos)
            name += char(std::tolower(static_cast<unsigned char>(text[pos])));
        // The rest of the tag, quotes respected.
        char quote = 0;
        bool selfClosing = false;
        for (; pos < size; ++pos) {
            const char c = text[pos];
            if (quote != 0) {
                if (c == quote)
                    quote = 0;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == '>') {
                selfClosing = text[pos - 1] == '/';
                ++pos;
                break;
            }
        }
        if (closing) {
            const auto known = open.find(name);
            if (known != open.end() && known->second > 0) {
                --known->second;
                --depth;
            }
            continue;
        }
        if (isRawTextElement(name)) {
            // Up to the end tag of the same name, in any letter case.
            const std::string end = "</" + name;
            qsizetype at = pos;
            while ((at = html.indexOf('<', at)) >= 0 &&
                   !QByteArrayView(text + at, std::min<qsizetype>(qsizetype(end.size()), size - at))
                        .toByteArray()
                        .toLower()
                        .startsWith(QByteArrayView(end.data(), qsizetype(end.size()))))
                ++at;
            pos = at < 0 ? size : at;
            continue;
        }
        if (selfClosing || isVoidElement(name))
            continue;
        ++open[name];
        deepest = std::max(deepest, ++depth);
    }
    return deepest;
}

std::optional<HtmlReferenceFinder::Found> HtmlReferenceFinder::find(QByteArrayView html)
{
    if (html.size() > kMaxSize || nestingBound(html, kMaxNesting) > kMaxNesting)
        return std::nullopt;
    const std::unique_ptr<GumboOutput, OutputDeleter> output(
        gumbo_parse_with_options(&kGumboDefaultOptions, html.data(), size_t(html.size())));
    if (!output)
        return std::nullopt;

    TreeWalk walk;
    // Depth first, in document order, without recursion.
    std::vector<const GumboNode*> pending{output->root};
    while (!pending.empty()) {
        const GumboNode* node = pending.back();
        pending.pop_back();
        if (node->type != GUMBO_NODE_ELEMENT && node->type != GUMBO_NODE_TEMPLATE)
            continue;
        const GumboElement& element = node->v.element;
        walk.element(element);
        if (element.tag == GUMBO_TAG_STYLE) {
            QString css;
            for (unsigned i = 0; i < element.children.length; ++i) {
                const auto* child = static_cast<const GumboNode*>(element.children.data[i]);
                if (child->type == GUMBO_NODE_TEXT || child->type == GUMBO_NODE_CDATA ||
                    child->type == GUMBO_NODE_WHITESPACE)
                    css += QString::fromUtf8(child->v.text.text);
            }
            walk.styleText(css);
        }
        for (unsigned i = element.children.length; i > 0; --i)
            pending.push_back(static_cast<const GumboNode*>(element.children.data[i - 1]));
    }
    return std::move(walk.found);
}
