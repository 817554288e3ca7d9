#pragma once

#include "engine/cache/CacheEntry.h"

#include <QByteArray>
#include <QByteArrayList>
#include <QString>
#include <optional>

class UrlCache;

// Finds what one page refers to, line by line, without parsing the HTML: the text after each "src=",
// and the style sheets of its <link> tags. Each reference is resolved against the page's URL as a
// browser does it (RFC 3986), looked up in the cache, and typed for the archive part it becomes.
//
// One resolver serves one page, on the copy worker's thread; the cache lookups are read-only.
class ResourceResolver
{
public:
    enum class Kind
    {
        StyleSheet, // embedded as quoted-printable text
        Script,     // embedded as quoted-printable text
        Picture,    // pictures and movies, embedded in base64
    };

    struct Resource
    {
        QByteArray reference; // as written in the page
        QString url;          // the absolute address it stands for, percent-encoded
        Kind kind = Kind::Picture;
        QString contentType; // for the part's Content-Type line: "text/css", "image/JPEG", ...
        // The cache's entry for the address, whose body the part carries; none when it is not cached.
        std::optional<CacheEntry> entry;
    };

    // `charset` is the page's declared one (see PageText::declaredCharset), for references that are not
    // UTF-8.
    ResourceResolver(UrlCache& cache, const QString& pageUrl, const QByteArray& charset);

    // The resource named by the line's first "src=" reference, or by its first "SRC=" when it has no
    // "src=". std::nullopt when the line has neither, when the reference is empty or does not lead to an
    // http or https address, or when nothing says it is a style sheet, script or picture: neither the
    // address's text nor, for a cached one, the type the server gave it.
    std::optional<Resource> ResolveResource(const QByteArray& line) const;

    // A style sheet that a <link> tag names: always a style-sheet part, whatever its address looks like.
    // std::nullopt when the reference does not lead to an http or https address.
    std::optional<Resource> ResolveStyleSheet(const QByteArray& reference) const;

    // The text after the first "src=" (or "SRC=" when there is none): leading spaces and double quotes
    // skipped, then everything up to a space, a double quote or a ">", the first character always
    // taken. Single quotes are not delimiters. Empty when nothing follows.
    static QByteArray ExtractSrcRef(const QByteArray& line);

    // The href of every <link> tag of the line whose rel names "stylesheet", in the order they stand;
    // tag and attribute names in any letter case, values quoted with either quote or not at all.
    static QByteArrayList LinkedStyleSheetRefs(const QByteArray& line);

    // `reference` resolved against `pageUrl` (RFC 3986, section 5), percent-encoded; empty for an empty
    // reference and for a result that is not an http or https address with a host.
    static QString ResolveRef(const QString& reference, const QString& pageUrl);

    // The kind and Content-Type that the address's text gives away, by the first extension found in
    // its path and query; std::nullopt when it names none of them.
    static std::optional<std::pair<Kind, QString>> typeOfUrl(const QString& url);

private:
    std::optional<Resource> resolve(const QByteArray& reference,
                                    std::optional<std::pair<Kind, QString>> knownType) const;

    UrlCache& cache_;
    const QString pageUrl_;
    const QByteArray charset_;
};
