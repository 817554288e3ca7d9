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

// The document as UTF-8 for the parser, read in `charset` (UTF-16 by its own decoder, anything else as
// PageText::toUnicode reads it, up to PageModel::kMaxCharsetDecoded bytes and as they are past them, with
// `*capped` then set). A slice at a time, so that the page is never held whole as UTF-16 too: a page of
// bytes that are no text in its charset becomes three times its size in UTF-8 already.
QByteArray utf8Of(const QByteArray& bytes, const QByteArray& charset, bool* capped)
{
    QStringDecoder decoder;
    const bool utf16 = charset.startsWith("utf-16");
    if (utf16)
        decoder = QStringDecoder(charset.constData());
    if (!decoder.isValid() && QByteArrayView(bytes).isValidUtf8())
        return bytes;
    if (!decoder.isValid())
        decoder = PageText::decoderFor(charset);
    if (!decoder.isValid())
        decoder = QStringDecoder(QStringDecoder::Utf8);
    static constexpr qsizetype kSlice = 1 << 20; // small beside a page, large beside a call's cost
    static_assert(PageModel::kMaxCharsetDecoded % kSlice == 0);
    QByteArray text;
    // As much as the text can become, so that it never moves as it grows: only what is written to is
    // taken from the system.
    text.reserve(bytes.size() * 3);
    for (qsizetype at = 0; at < bytes.size(); at += kSlice) {
        if (at == PageModel::kMaxCharsetDecoded && !utf16) {
            // The rest goes as it is: what the parser makes text of, it reads as UTF-8.
            *capped = true;
            return text.append(QByteArrayView(bytes).sliced(at));
        }
        text += QString(decoder.decode(QByteArrayView(bytes).sliced(at, std::min(kSlice, bytes.size() - at)))).toUtf8();
    }
    return text;
}

// The document's own base: the first <base href>, where it resolves to a web address.
QString baseOf(const QString& pageUrl, const QString& baseHref)
{
    if (baseHref.isEmpty())
        return pageUrl;
    const QString base = ResourceResolver::ResolveRef(baseHref, pageUrl);
    return base.isEmpty() ? pageUrl : base;
}

// The src= text of every line, for what a parser does not see as markup; `*capped` set where the walk
// stopped at a cap.
QStringList srcTextsOf(const QByteArray& bytes, const QByteArray& charset, bool* capped)
{
    QStringList texts;
    for (QByteArray& reference : ResourceResolver::srcReferences(bytes, capped)) {
        // A single-quoted value is the address inside the quotes.
        if (reference.startsWith('\'')) {
            const qsizetype close = reference.indexOf('\'', 1);
            reference = reference.mid(1, close < 0 ? -1 : close - 1);
        }
        if (!reference.isEmpty())
            texts << PageText::toUnicode(reference, charset).replace(QLatin1String("&amp;"), QLatin1String("&"));
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
    // The page is read whole rather than split into lines: a page of line breaks would make millions.
    page.charset_ = charsetOfByteOrderMark(bytes);
    if (page.charset_.isEmpty())
        page.charset_ = charsetOf(contentType);
    if (page.charset_.isEmpty())
        page.charset_ = PageText::declaredCharset(QByteArrayView(bytes));
    page.title_ = PageText::title(QByteArrayView(bytes), page.charset_);

    QString base = url;
    // The parser reads UTF-8: a page in it already goes as it is.
    const bool utf8 = (page.charset_.isEmpty() || page.charset_ == "utf-8" || page.charset_ == "utf8") &&
                      QByteArrayView(bytes).isValidUtf8();
    const QByteArray text = utf8 ? bytes : utf8Of(bytes, page.charset_, &page.capped_);
    QSet<QString> parsedTexts;
    {
        const HtmlReferenceFinder::Found found = HtmlReferenceFinder::find(text);
        page.capped_ = page.capped_ || found.capped;
        base = baseOf(url, found.baseHref);
        const QUrl baseUrl(base);
        for (const PageReference& reference : found.references) {
            if (page.references_.size() >= kMaxReferences) {
                page.capped_ = true;
                break;
            }
            const QString address = ResourceResolver::ResolveRef(reference.text, baseUrl);
            if (!address.isEmpty())
                page.references_.append(Reference{address, reference.kind, true});
            parsedTexts.insert(reference.text);
        }
    }
    // What the line-by-line "src=" walk finds and the parser did not: a resource the cache holds is worth
    // keeping wherever the page names it. A text the parser found resolves to what it gave already.
    const QUrl baseUrl(base);
    for (const QString& reference : srcTextsOf(bytes, page.charset_, &page.capped_)) {
        if (page.references_.size() >= kMaxReferences) {
            page.capped_ = true;
            break;
        }
        if (parsedTexts.contains(reference))
            continue;
        const QString address = ResourceResolver::ResolveRef(reference, baseUrl);
        if (!address.isEmpty() && ResourceResolver::typeOfUrl(address))
            page.references_.append(Reference{address, PageReference::Kind::Resource, false});
    }
    return page;
}
