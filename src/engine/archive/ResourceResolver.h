#pragma once

#include <QByteArray>
#include <QByteArrayList>
#include <QByteArrayView>
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

    // The text after every "src=" of a page, each read as ExtractSrcRef reads the first of its line (a
    // line break ends it too), line by line, and in each line first those after "src=", then those after
    // "SRC=", in the order they stand. One pass over the page, whatever it holds: a text that runs on
    // over later "src=" is found by the same reading that finds theirs. Empty texts are left out; so are
    // texts past the caps below, with `*capped` (where given) then set, and otherwise left as it was.
    static QByteArrayList srcReferences(QByteArrayView page, bool* capped = nullptr);

    // At most this many texts from one page: as many as a page's markup may load (HtmlReferenceFinder).
    static constexpr qsizetype kMaxSrcReferences = 20000;
    // A longer text is left out: common servers refuse request lines past 8 to 16 KiB, so no cached
    // resource has such an address. A data: address is left out without a word: it is never cached.
    static constexpr qsizetype kMaxSrcReferenceLength = 16 * 1024;
    // The texts of one page add up to at most this many bytes. Each may run on to the end of its line
    // over the later ones', so without it, the texts of one long line would cost its length squared.
    static constexpr qsizetype kMaxSrcTotalLength = 8 * 1024 * 1024;

    // Whether `text` is a data: address, in any letter case: one that carries its resource inside it.
    static bool isDataAddress(QStringView text);
    static bool isDataAddress(QByteArrayView text);

    // `reference` resolved against `pageUrl` (RFC 3986, section 5), percent-encoded, fragment kept; empty
    // for an empty reference and for a result that is not an http or https address with a host.
    static QString ResolveRef(const QString& reference, const QString& pageUrl);
    // The same against an address parsed already, for the many references of one page or sheet.
    static QString ResolveRef(const QString& reference, const QUrl& base);

    // The kind and Content-Type that the address's text gives away, by the first extension found in
    // its path and query; std::nullopt when it names none of them.
    static std::optional<std::pair<Kind, QString>> typeOfUrl(const QString& url);
};
