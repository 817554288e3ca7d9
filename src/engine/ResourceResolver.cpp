#include "engine/ResourceResolver.h"

#include "engine/PageText.h"
#include "engine/cache/UrlCache.h"

#include <QUrl>
#include <array>

namespace
{

struct UrlType
{
    const char* lower; // an extension, tested in this letter case
    const char* upper; // and in this one; other mixtures are not recognised
    ResourceResolver::Kind kind;
    const char* contentType;
};

// First match wins, so the order matters: "a.png?from=b.js" is a script. The first six keep the content
// types that archives have always carried, "image/JPEG" included; the engines accept them.
constexpr std::array kUrlTypes{
    UrlType{".css", ".CSS", ResourceResolver::Kind::StyleSheet, "text/css"},
    UrlType{".js", ".JS", ResourceResolver::Kind::Script, "application/octet-stream"},
    UrlType{".bmp", ".BMP", ResourceResolver::Kind::Picture, "image/bmp"},
    UrlType{".gif", ".GIF", ResourceResolver::Kind::Picture, "image/gif"},
    UrlType{".jpg", ".JPG", ResourceResolver::Kind::Picture, "image/JPEG"},
    UrlType{".swf", ".SWF", ResourceResolver::Kind::Picture, "image/swf"},
    UrlType{".png", ".PNG", ResourceResolver::Kind::Picture, "image/png"},
    UrlType{".jpeg", ".JPEG", ResourceResolver::Kind::Picture, "image/jpeg"},
    UrlType{".webp", ".WEBP", ResourceResolver::Kind::Picture, "image/webp"},
    UrlType{".svg", ".SVG", ResourceResolver::Kind::Picture, "image/svg+xml"},
    UrlType{".ico", ".ICO", ResourceResolver::Kind::Picture, "image/x-icon"},
};

// A picture type from a response's Content-Type ("image/png; charset=x" gives "image/png"). Only plain
// type names pass, since the text goes into a header line of the archive.
std::optional<QString> pictureTypeOf(const QString& contentType)
{
    const QString type = contentType.section(QLatin1Char(';'), 0, 0).trimmed().toLower();
    static const QString kImage = QStringLiteral("image/");
    if (!type.startsWith(kImage) || type.size() == kImage.size())
        return std::nullopt;
    for (const QChar c : type) {
        const bool plain = (c >= QLatin1Char('a') && c <= QLatin1Char('z')) ||
                           (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || QStringLiteral("/.+-").contains(c);
        if (!plain)
            return std::nullopt;
    }
    return type;
}

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

// One attribute of a tag, from `pos` on; advances `pos` past it. `name` comes back in lower case.
void readAttribute(const QByteArray& tag, qsizetype& pos, QByteArray& name, QByteArray& value)
{
    const qsizetype nameStart = pos;
    while (pos < tag.size() && !isSpace(tag[pos]) && tag[pos] != '=' && tag[pos] != '/')
        ++pos;
    name = tag.mid(nameStart, pos - nameStart).toLower();
    value.clear();
    qsizetype next = pos;
    while (next < tag.size() && isSpace(tag[next]))
        ++next;
    if (next >= tag.size() || tag[next] != '=') {
        if (pos == nameStart)
            ++pos; // a stray "=" or "/": step over it
        return;
    }
    pos = next + 1;
    while (pos < tag.size() && isSpace(tag[pos]))
        ++pos;
    if (pos < tag.size() && (tag[pos] == '"' || tag[pos] == '\'')) {
        const char quote = tag[pos];
        const qsizetype close = tag.indexOf(quote, pos + 1);
        const qsizetype end = close < 0 ? tag.size() : close;
        value = tag.mid(pos + 1, end - pos - 1);
        pos = end + 1;
        return;
    }
    const qsizetype valueStart = pos;
    while (pos < tag.size() && !isSpace(tag[pos]))
        ++pos;
    value = tag.mid(valueStart, pos - valueStart);
}

// The end of the tag whose attributes start at `pos`: its ">" outside quotes, or the end of the line.
qsizetype tagEnd(const QByteArray& line, qsizetype pos)
{
    char quote = 0;
    for (; pos < line.size(); ++pos) {
        const char c = line[pos];
        if (quote != 0) {
            if (c == quote)
                quote = 0;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '>') {
            return pos;
        }
    }
    return pos;
}

bool relNamesStyleSheet(const QByteArray& rel)
{
    for (const QByteArray& token : rel.toLower().simplified().split(' ')) {
        if (token == "stylesheet")
            return true;
    }
    return false;
}

} // namespace

ResourceResolver::ResourceResolver(UrlCache& cache, const QString& pageUrl, const QByteArray& charset)
    : cache_(cache), pageUrl_(pageUrl), charset_(charset)
{}

QByteArray ResourceResolver::ExtractSrcRef(const QByteArray& line)
{
    qsizetype at = line.indexOf("src=");
    if (at < 0)
        at = line.indexOf("SRC=");
    if (at < 0)
        return {};
    qsizetype start = at + 4;
    while (start < line.size() && (line[start] == ' ' || line[start] == '"'))
        ++start;
    if (start >= line.size())
        return {};
    qsizetype end = start + 1;
    while (end < line.size() && line[end] != ' ' && line[end] != '"' && line[end] != '>')
        ++end;
    return line.mid(start, end - start);
}

QByteArrayList ResourceResolver::LinkedStyleSheetRefs(const QByteArray& line)
{
    QByteArrayList refs;
    const QByteArray lower = line.toLower();
    qsizetype from = 0;
    while ((from = lower.indexOf("<link", from)) >= 0) {
        qsizetype pos = from + 5;
        from = pos;
        if (pos < line.size() && !isSpace(line[pos]) && line[pos] != '/' && line[pos] != '>')
            continue; // <linkage>, not <link>
        const QByteArray tag = line.mid(pos, tagEnd(line, pos) - pos);
        QByteArray rel;
        QByteArray href;
        for (qsizetype at = 0; at < tag.size();) {
            if (isSpace(tag[at]) || tag[at] == '/') {
                ++at;
                continue;
            }
            QByteArray name;
            QByteArray value;
            readAttribute(tag, at, name, value);
            // As in HTML, the first of two attributes of one name counts.
            if (name == "rel" && rel.isNull())
                rel = value.isNull() ? QByteArray("") : value;
            else if (name == "href" && href.isNull())
                href = value.isNull() ? QByteArray("") : value;
        }
        if (relNamesStyleSheet(rel) && !href.trimmed().isEmpty())
            refs << href.trimmed();
        from = pos + tag.size();
    }
    return refs;
}

QString ResourceResolver::ResolveRef(const QString& reference, const QString& pageUrl)
{
    if (reference.isEmpty())
        return {};
    const QUrl resolved = QUrl(pageUrl).resolved(QUrl(reference));
    const QString scheme = resolved.scheme();
    if (!resolved.isValid() || resolved.host().isEmpty() ||
        (scheme != QLatin1String("http") && scheme != QLatin1String("https")))
        return {};
    return resolved.toString(QUrl::FullyEncoded);
}

std::optional<std::pair<ResourceResolver::Kind, QString>> ResourceResolver::typeOfUrl(const QString& url)
{
    // The host is left out: a host such as cdn.jsdelivr.net would make every picture it serves a script.
    const QUrl parsed(url);
    QString text = parsed.path(QUrl::FullyEncoded);
    if (parsed.hasQuery())
        text += QLatin1Char('?') + parsed.query(QUrl::FullyEncoded);
    for (const UrlType& type : kUrlTypes) {
        if (text.contains(QLatin1String(type.lower)) || text.contains(QLatin1String(type.upper)))
            return std::pair{type.kind, QString::fromLatin1(type.contentType)};
    }
    return std::nullopt;
}

std::optional<ResourceResolver::Resource> ResourceResolver::ResolveResource(const QByteArray& line) const
{
    if (!line.contains("src=") && !line.contains("SRC="))
        return std::nullopt;
    return resolve(ExtractSrcRef(line), std::nullopt);
}

std::optional<ResourceResolver::Resource> ResourceResolver::ResolveStyleSheet(const QByteArray& reference) const
{
    return resolve(reference, std::pair{Kind::StyleSheet, QStringLiteral("text/css")});
}

std::optional<ResourceResolver::Resource>
ResourceResolver::resolve(const QByteArray& reference, std::optional<std::pair<Kind, QString>> knownType) const
{
    // An attribute's "&amp;" is its "&": pages write queries so, and browsers request them with "&".
    const QString text = PageText::toUnicode(reference, charset_).replace(QLatin1String("&amp;"), QLatin1String("&"));
    QUrl address(ResolveRef(text, pageUrl_));
    if (address.isEmpty())
        return std::nullopt;
    // Browsers fetch, and caches keep, addresses without their fragment.
    address.setFragment(QString());
    const QString url = address.toString(QUrl::FullyEncoded);

    std::optional<std::pair<Kind, QString>> type = knownType ? knownType : typeOfUrl(url);
    std::optional<CacheEntry> entry = cache_.lookup(url);
    if (!type && entry) {
        if (std::optional<QString> picture = pictureTypeOf(entry->contentType))
            type = std::pair{Kind::Picture, *picture};
    }
    if (!type)
        return std::nullopt;

    Resource resource;
    resource.reference = reference;
    resource.url = url;
    resource.kind = type->first;
    resource.contentType = type->second;
    resource.entry = std::move(entry);
    return resource;
}
