#include "engine/archive/PageModel.h"

#include "engine/archive/HtmlReferenceFinder.h"
#include "engine/archive/PageText.h"
#include "engine/archive/ResourceResolver.h"

#include <QSet>
#include <QStringDecoder>
#include <QUrl>

namespace
{

// The byte order mark's charset, if the document starts with one.
QByteArray charsetOfByteOrderMark(const QByteArray& bytes)
{
    if (bytes.startsWith("\xEF\xBB\xBF"))
        return "utf-8";
    if (bytes.startsWith("\xFF\xFE"))
        return "utf-16le";
    if (bytes.startsWith("\xFE\xFF"))
        return "utf-16be";
    return {};
}

QString decoded(const QByteArray& bytes, const QByteArray& charset)
{
    if (charset.startsWith("utf-16")) {
        QStringDecoder decoder(charset.constData(), QStringDecoder::Flag::Stateless);
        if (decoder.isValid())
            return decoder.decode(bytes);
    }
    return PageText::toUnicode(bytes, charset);
}

// The document's own base: the first <base href>, where it resolves to a web address.
QString baseOf(const QString& pageUrl, const QString& baseHref)
{
    if (baseHref.isEmpty())
        return pageUrl;
    const QString base = ResourceResolver::ResolveRef(baseHref, pageUrl);
    return base.isEmpty() ? pageUrl : base;
}

// The Parts' src= text of every line, for what a parser does not see as markup.
QStringList srcTextsOf(const QByteArrayList& lines, const QByteArray& charset)
{
    QStringList texts;
    for (const QByteArray& line : lines) {
        QByteArray rest = line;
        while (rest.contains("src=") || rest.contains("SRC=")) {
            QByteArray reference = ResourceResolver::ExtractSrcRef(rest);
            // A single-quoted value is the address inside the quotes.
            if (reference.startsWith('\'')) {
                const qsizetype close = reference.indexOf('\'', 1);
                reference = reference.mid(1, close < 0 ? -1 : close - 1);
            }
            if (!reference.isEmpty())
                texts << PageText::toUnicode(reference, charset).replace(QLatin1String("&amp;"), QLatin1String("&"));
            const qsizetype at = rest.indexOf("src=");
            rest.remove(at >= 0 ? at : rest.indexOf("SRC="), 4);
        }
    }
    return texts;
}

} // namespace

QByteArray PageModel::charsetOf(const QString& contentType)
{
    for (const QString& parameter : contentType.split(QLatin1Char(';')).mid(1)) {
        const QString trimmed = parameter.trimmed();
        if (trimmed.startsWith(QLatin1String("charset="), Qt::CaseInsensitive)) {
            QString value = trimmed.mid(8).trimmed();
            if (value.size() >= 2 && (value.startsWith(QLatin1Char('"')) || value.startsWith(QLatin1Char('\''))))
                value = value.mid(1, value.size() - 2);
            qsizetype end = 0;
            while (end < value.size() && PageText::isCharsetNameCharacter(value[end].unicode()))
                ++end;
            return value.left(end).toLatin1().toLower();
        }
    }
    return {};
}

PageModel PageModel::parse(const QString& url, const QByteArray& bytes, const QString& contentType)
{
    PageModel page;
    page.url_ = url;
    page.bytes_ = bytes;
    const QByteArrayList lines = PageText::splitLines(bytes);
    page.charset_ = charsetOfByteOrderMark(bytes);
    if (page.charset_.isEmpty())
        page.charset_ = charsetOf(contentType);
    if (page.charset_.isEmpty())
        page.charset_ = PageText::declaredCharset(lines);
    page.title_ = PageText::title(lines, page.charset_);

    QString base = url;
    // The parser reads UTF-8: a page in it already goes as it is.
    const bool utf8 = (page.charset_.isEmpty() || page.charset_ == "utf-8" || page.charset_ == "utf8") &&
                      QByteArrayView(bytes).isValidUtf8();
    const QByteArray text = utf8 ? bytes : decoded(bytes, page.charset_).toUtf8();
    QSet<QString> parsedTexts;
    {
        const HtmlReferenceFinder::Found found = HtmlReferenceFinder::find(text);
        base = baseOf(url, found.baseHref);
        const QUrl baseUrl(base);
        for (const PageReference& reference : found.references) {
            if (page.references_.size() >= kMaxReferences)
                break;
            const QString address = ResourceResolver::ResolveRef(reference.text, baseUrl);
            if (!address.isEmpty())
                page.references_.append(Reference{address, reference.kind, true});
            parsedTexts.insert(reference.text);
        }
    }
    // What the line-by-line "src=" walk finds and the parser did not: a resource the cache holds is worth
    // keeping wherever the page names it. A text the parser found resolves to what it gave already.
    const QUrl baseUrl(base);
    for (const QString& reference : srcTextsOf(lines, page.charset_)) {
        if (page.references_.size() >= kMaxReferences)
            break;
        if (parsedTexts.contains(reference))
            continue;
        const QString address = ResourceResolver::ResolveRef(reference, baseUrl);
        if (!address.isEmpty() && ResourceResolver::typeOfUrl(address))
            page.references_.append(Reference{address, PageReference::Kind::Resource, false});
    }
    return page;
}
