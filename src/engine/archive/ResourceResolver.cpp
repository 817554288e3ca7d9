#include "engine/archive/ResourceResolver.h"

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
    UrlType{".avif", ".AVIF", ResourceResolver::Kind::Picture, "image/avif"},
    UrlType{".woff2", ".WOFF2", ResourceResolver::Kind::Picture, "font/woff2"},
    UrlType{".woff", ".WOFF", ResourceResolver::Kind::Picture, "font/woff"},
    UrlType{".ttf", ".TTF", ResourceResolver::Kind::Picture, "font/ttf"},
    UrlType{".otf", ".OTF", ResourceResolver::Kind::Picture, "font/otf"},
};

} // namespace

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

QString ResourceResolver::ResolveRef(const QString& reference, const QString& pageUrl)
{
    return reference.isEmpty() ? QString() : ResolveRef(reference, QUrl(pageUrl));
}

QString ResourceResolver::ResolveRef(const QString& reference, const QUrl& base)
{
    if (reference.isEmpty())
        return {};
    const QUrl resolved = base.resolved(QUrl(reference));
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
