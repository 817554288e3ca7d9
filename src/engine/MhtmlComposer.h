#pragma once

#include "engine/ResourceResolver.h"

#include <QByteArray>
#include <QByteArrayList>
#include <QDate>
#include <QString>
#include <variant>

class UrlCache;

// Writes a harvested page as a single-file MHTML archive (a MIME multipart/related text, CR LF line
// ends): the page's lines unchanged as the first part, then one part per resource the page names,
// with its cached copy as the body, so that a browser shows the whole page offline.
//
// Parts follow the page line by line: for each line its lower-case "src=" references from left to
// right, then its upper-case "SRC=" ones, then the style sheets its <link> tags name. A reference is
// embedded each time it occurs. Runs on the copy worker's thread.
class MhtmlComposer
{
public:
    enum class Outcome
    {
        Written,     // the archive is in place
        NoLocalCopy, // the page has no local copy: nothing was written, and nothing is lost either
        Failed,      // the page could not be read or the archive not written; nothing was left behind
    };

    explicit MhtmlComposer(UrlCache& cache);

    // Writes the archive of the page at `sourceUrl`, whose body is the file `localFile`, to
    // `destination`, replacing a file of that name. The archive is written under a temporary name in
    // the destination's folder and then renamed, so the destination holds either the whole archive or
    // what it held before.
    Outcome ComposeArchive(const QString& sourceUrl, const QString& localFile, const QString& destination) const;

    // The same with the archive named as DestinationNamer names a document in `saveFolder`, the page read
    // once for both.
    Outcome ArchiveIntoFolder(const QString& sourceUrl, const QString& localFile, const QString& saveFolder) const;

    // The archive's bytes, dated `today` (the local date).
    QByteArray compose(const QString& sourceUrl, const QByteArrayList& pageLines, const QDate& today) const;

private:
    // The page's lines, or the outcome that ends the job: no local copy, or a page that cannot be read.
    static std::variant<QByteArrayList, Outcome> readPage(const QString& localFile);
    Outcome writeArchive(const QString& sourceUrl, const QByteArrayList& pageLines, const QString& destination) const;

    static void appendPart(QByteArray& archive, const ResourceResolver::Resource& resource);

    UrlCache& cache_;
};
