#pragma once

#include "engine/cache/CacheEntry.h"

#include <QByteArray>
#include <QByteArrayList>
#include <QDate>
#include <QList>
#include <QString>
#include <atomic>

class ByteSink;
class PageModel;
class UrlCache;

// Writes a harvested page as a single-file MHTML archive (a MIME multipart/related text, CR LF line
// ends): the page's bytes as the first part, quoted-printable so that they come back exactly as the
// browser had them, then one part for each resource the page loads that some cache holds, so that a
// browser shows the whole page offline.
//
// Resources are those the page model found (markup, <style>, style attributes), then, as their parts are
// written, those of each style sheet (url(), @import, resolved against the sheet's own address) and of
// each frame document, which gets a text/html part of its own. Each address gets one part, located at
// the absolute address the page resolves it to (fragment kept), typed by the Content-Type the cache
// keeps for it. An address no cache holds gets no part: an empty one would stand for a broken file.
//
// The archive is streamed into a sink: the header and page part, then each part encoded as its body is
// read, so memory holds the page and at most one part's body (a sheet or frame is read whole, to find
// its own references). Runs on the copy worker's threads; the cache lookups are read-only.
class MhtmlComposer
{
public:
    // A resource body larger than this is left out of the archive.
    static constexpr qint64 kMaxPartSize = qint64(256) << 20;
    // Sheets and frame documents larger than this are embedded without following their references.
    static constexpr qint64 kMaxParsedSize = qint64(16) << 20;
    // How deep sheets importing sheets, and frames holding frames, are followed.
    static constexpr int kMaxDepth = 8;
    // How many sheets and frame documents one archive follows, and how many of their bytes it parses in
    // all: far more than any real page loads, while a page of thousands of large sheets would otherwise
    // be parsed sheet by sheet for minutes. Past either cap, sheets and frames are still embedded, only
    // not followed.
    static constexpr int kMaxFollowed = 1000;
    static constexpr qint64 kMaxFollowedBytes = qint64(64) << 20;

    // The caps on following, lower for tests that reach them with little data.
    struct FollowCaps
    {
        int sheetsAndFrames = kMaxFollowed;
        qint64 bytes = kMaxFollowedBytes;
    };

    // What composing one page found, for the run's report.
    struct Report
    {
        int references = 0; // distinct addresses the page and its sheets and frames load
        int embedded = 0;   // parts written with their cached body
        int missing = 0;    // addresses no cache holds (or whose body could not be read)
        // A cap left something out: of the page (PageModel::capped), of a sheet or frame it follows, or of
        // what is followed at all (kMaxFollowed, kMaxFollowedBytes, PageModel::kMaxReferences addresses).
        bool capped = false;
        // The entries whose bodies became parts, in the archive's order: what a record of the page's
        // exchanges needs besides the page.
        QList<CacheEntry> parts;
    };

    // Composing gives up, as if the sink had refused bytes, once `stop` (where given) is set: it is checked
    // before each part, and a cache's first lookup checks it as it builds its index.
    explicit MhtmlComposer(UrlCache& cache, const std::atomic<bool>* stop = nullptr);
    MhtmlComposer(UrlCache& cache, const std::atomic<bool>* stop, FollowCaps caps);

    // Streams the archive of `page` into `out`, dated `today` (the local date). False as soon as `out`
    // refuses bytes, or once composing is stopped.
    bool compose(const PageModel& page, const QDate& today, ByteSink& out, Report* report = nullptr) const;

    // The same for a page given as its address and stored lines (its bytes being the lines joined by
    // CR LF).
    bool compose(const QString& sourceUrl, const QByteArrayList& pageLines, const QDate& today, ByteSink& out,
                 Report* report = nullptr) const;

    // The same archive as bytes, for tests and tools.
    QByteArray compose(const QString& sourceUrl, const QByteArrayList& pageLines, const QDate& today) const;

private:
    UrlCache& cache_;
    const std::atomic<bool>* const stop_;
    const FollowCaps caps_;
};
