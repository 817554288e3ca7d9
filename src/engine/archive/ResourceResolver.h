#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>
#include <optional>

// How a page's references become addresses: the "src=" text of a line, resolution against the page's
// address as a browser does it (RFC 3986), and the type an address's text gives away.
class ResourceResolver
{
public:
    enum class Kind
    {
        StyleSheet,
        Script,
        Picture, // pictures and movies
    };

    // The text after the first "src=" (or "SRC=" when there is none): leading spaces and double quotes
    // skipped, then everything up to a space, a double quote or a ">", the first character always
    // taken. Single quotes are not delimiters. Empty when nothing follows.
    static QByteArray ExtractSrcRef(const QByteArray& line);

    // `reference` resolved against `pageUrl` (RFC 3986, section 5), percent-encoded, fragment kept; empty
    // for an empty reference and for a result that is not an http or https address with a host.
    static QString ResolveRef(const QString& reference, const QString& pageUrl);
    // The same against an address parsed already, for the many references of one page or sheet.
    static QString ResolveRef(const QString& reference, const QUrl& base);

    // The kind and Content-Type that the address's text gives away, by the first extension found in
    // its path and query; std::nullopt when it names none of them.
    static std::optional<std::pair<Kind, QString>> typeOfUrl(const QString& url);
};
