#pragma once

#include <QString>

// The file name under which an entry's body is written, in the habit of the old system cache that the
// file-type matching relies on: the last segment of the URL's path, percent-decoded, without query or
// fragment, "index" when there is none; an extension from the Content-Type when the path has none.
// The caller adds the "[n]" counter: readers name an entry's body with counter 1 (CacheEntry::localName), so
// logo.gif becomes logo[1].gif, and whoever saves it picks a counter free where it goes.
struct LocalFileName
{
    // A whole name, counter and extension included, is at most this many bytes of UTF-8.
    static constexpr int kMaxBytes = 100;

    QString stem;      // safe as part of one file name: no '/', no NUL, no leading '.', bounded in length
    QString extension; // without the dot; empty when neither the path nor the Content-Type gives one

    static LocalFileName forUrl(const QString& url, const QString& contentType);

    // "stem[counter].extension" (no dot when there is no extension), within kMaxBytes: the stem is cut
    // shorter for a counter too long to fit.
    QString withCounter(int counter) const;
};
