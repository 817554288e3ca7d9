#include "engine/archive/ResourceResolver.h"

#include <QUrl>
#include <array>
#include <vector>

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

bool isLineBreak(char c)
{
    return c == '\n' || c == '\r';
}

// Where the text after a "src=" starts and ends. Texts of one line start in order, and each ends at the
// first delimiter after its first character: so the search for an end goes on from where the last one
// stopped, and the line is read once however many texts overlap.
class SrcTextBounds
{
public:
    explicit SrcTextBounds(QByteArrayView text) : text_(text) {}

    // The text after the "src=" whose "=" is at `equals`; empty (start == end) where nothing follows it
    // on its line.
    std::pair<qsizetype, qsizetype> after(qsizetype equals)
    {
        qsizetype start = equals + 1;
        while (start < text_.size() && (text_[start] == ' ' || text_[start] == '"'))
            ++start;
        if (start >= text_.size() || isLineBreak(text_[start]))
            return {start, start};
        if (end_ <= start) {
            end_ = start + 1;
            while (end_ < text_.size() && !isDelimiter(text_[end_]))
                ++end_;
        }
        return {start, end_};
    }

private:
    static bool isDelimiter(char c) { return c == ' ' || c == '"' || c == '>' || isLineBreak(c); }

    const QByteArrayView text_;
    qsizetype end_ = 0; // the delimiter (or the end) the last text stopped at
};

// Whether the "=" at `equals` ends "src=" (lower case) or "SRC=" (upper case).
bool endsSrc(QByteArrayView text, qsizetype equals, bool upper)
{
    return equals >= 3 && text.sliced(equals - 3, 3) == (upper ? QByteArrayView("SRC") : QByteArrayView("src"));
}

} // namespace

QByteArray ResourceResolver::ExtractSrcRef(const QByteArray& line)
{
    qsizetype at = line.indexOf("src=");
    if (at < 0)
        at = line.indexOf("SRC=");
    if (at < 0)
        return {};
    const auto [start, end] = SrcTextBounds(line).after(at + 3);
    return line.mid(start, end - start);
}

QByteArrayList ResourceResolver::srcReferences(QByteArrayView page, bool* capped)
{
    QByteArrayList found;
    qsizetype totalLength = 0;
    bool full = false;
    SrcTextBounds bounds(page);
    // The line's texts, by the case of their "src=": at most as many of each as may still be kept.
    std::vector<std::pair<qsizetype, qsizetype>> lower;
    std::vector<std::pair<qsizetype, qsizetype>> upper;
    const auto keep = [&](const std::pair<qsizetype, qsizetype>& text) {
        const QByteArrayView bytes = page.sliced(text.first, text.second - text.first);
        if (bytes.size() > kMaxSrcReferenceLength) {
            if (capped && !isDataAddress(bytes))
                *capped = true;
            return;
        }
        if (found.size() >= kMaxSrcReferences || totalLength + bytes.size() > kMaxSrcTotalLength) {
            full = true;
            if (capped)
                *capped = true;
            return;
        }
        totalLength += bytes.size();
        found.append(bytes.toByteArray());
    };
    const auto endLine = [&] {
        for (const auto& text : lower) {
            if (!full)
                keep(text);
        }
        for (const auto& text : upper) {
            if (!full)
                keep(text);
        }
        lower.clear();
        upper.clear();
    };
    for (qsizetype pos = 0; pos < page.size() && !full; ++pos) {
        const char c = page[pos];
        if (isLineBreak(c)) {
            endLine();
        } else if (c == '=') {
            const bool isLower = endsSrc(page, pos, false);
            if (!isLower && !endsSrc(page, pos, true))
                continue;
            const auto text = bounds.after(pos);
            auto& texts = isLower ? lower : upper;
            if (text.first < text.second && qsizetype(texts.size()) <= kMaxSrcReferences - found.size())
                texts.push_back(text);
        }
    }
    if (!full)
        endLine();
    return found;
}

bool ResourceResolver::isDataAddress(QStringView text)
{
    return text.startsWith(u"data:", Qt::CaseInsensitive);
}

bool ResourceResolver::isDataAddress(QByteArrayView text)
{
    return text.size() >= 5 && QByteArrayView(text.first(5)).compare("data:", Qt::CaseInsensitive) == 0;
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
