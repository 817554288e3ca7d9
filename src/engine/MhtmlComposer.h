#pragma once

#include <QByteArray>
#include <QByteArrayList>
#include <QDate>
#include <QString>

class ByteSink;
class UrlCache;

// Writes a harvested page as a single-file MHTML archive (a MIME multipart/related text, CR LF line
// ends): the page's lines unchanged as the first part, then one part per resource the page names,
// with its cached body, so that a browser shows the whole page offline.
//
// Parts follow the page line by line: for each line its lower-case "src=" references from left to
// right, then its upper-case "SRC=" ones, then the style sheets its <link> tags name. A reference is
// embedded each time it occurs.
//
// The archive is streamed into a sink: the header and page part, then each part encoded as its body is
// read, so memory holds the page and at most one part's body. Runs on the copy worker's threads; the
// cache lookups are read-only.
class MhtmlComposer
{
public:
    // A resource body larger than this is left out of the archive (its part gets no body).
    static constexpr qint64 kMaxPartSize = qint64(256) << 20;

    // What composing one page found, for the run's report.
    struct Report
    {
        int references = 0; // resource references the page holds
        int embedded = 0;   // parts written with their cached body
        int missing = 0;    // references no cache holds (or whose body could not be read)
    };

    explicit MhtmlComposer(UrlCache& cache);

    // Streams the archive of the page at `sourceUrl`, whose stored bytes are `pageLines`, into `out`,
    // dated `today` (the local date). False as soon as `out` refuses bytes.
    bool compose(const QString& sourceUrl, const QByteArrayList& pageLines, const QDate& today, ByteSink& out,
                 Report* report = nullptr) const;

    // The same archive as bytes, for tests and tools.
    QByteArray compose(const QString& sourceUrl, const QByteArrayList& pageLines, const QDate& today) const;

private:
    UrlCache& cache_;
};
