#pragma once

#include "engine/archive/HtmlReferenceFinder.h"
#include "engine/archive/PageReference.h"

#include <QByteArray>
#include <QByteArrayList>
#include <QList>
#include <QString>

// A cached HTML document read once for everything the harvest does with it: its bytes for the archive's
// page part, the character set it was read in, its title as the archive's name, and the absolute address
// of every resource it refers to.
class PageModel
{
public:
    // More references than this in one document are not followed.
    static constexpr qsizetype kMaxReferences = HtmlReferenceFinder::kMaxReferences;
    // Bytes of a page past this many are read as UTF-8 rather than decoded from its charset: real pages are
    // a few MiB, and a charset's decoder takes up to 50 ns for each byte that is no text in it.
    static constexpr qsizetype kMaxCharsetDecoded = 16 << 20;

    struct Reference
    {
        QString url; // absolute, percent-encoded, fragment kept as written
        PageReference::Kind kind = PageReference::Kind::Resource;
        // Found in the markup, where the browser loads it from. False for the extra "src=" text found
        // line by line (in scripts, comments, <noscript>): taken when cached, not counted missing when not.
        bool loadedByBrowser = true;
    };

    // `bytes` is the document as stored (decoded from its content encoding), `url` its address and
    // `contentType` its response's Content-Type, whose charset parameter comes before a <meta> one.
    static PageModel parse(const QString& url, const QByteArray& bytes, const QString& contentType = {});

    const QString& url() const { return url_; }
    // The document as stored, every byte of it.
    const QByteArray& bytes() const { return bytes_; }
    // The character set the document is read in, lower case, where a byte order mark, the Content-Type
    // or a <meta> names one; empty where none does.
    const QByteArray& charset() const { return charset_; }
    // Its title (PageText::title), which names its archive; empty without one.
    const QString& title() const { return title_; }
    const QList<Reference>& references() const { return references_; }
    // Whether a cap on what is read from the page left anything out (HtmlReferenceFinder::Found::capped,
    // the line-by-line walk's ResourceResolver::srcReferences, kMaxCharsetDecoded), or stopped the
    // references at kMaxReferences: the page is a hostile one, or far beyond any ordinary page.
    bool capped() const { return capped_; }

    // The charset parameter of a Content-Type, lower case, up to its first character that cannot be in a
    // character set's name (it goes into a header line of the archive); empty without one.
    static QByteArray charsetOf(const QString& contentType);

private:
    QString url_;
    QByteArray bytes_;
    QByteArray charset_;
    QString title_;
    QList<Reference> references_;
    bool capped_ = false;
};
