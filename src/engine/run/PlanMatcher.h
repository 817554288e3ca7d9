#pragma once

#include <QByteArrayList>
#include <QDateTime>
#include <QString>

struct CacheEntry;
struct StrucRec;

// Decides whether one cache entry satisfies one plan. The criteria are tried from the cheapest to the
// dearest, each only when the plan sets it, and the first that fails decides: file type, size, date
// range, recent days, site, and for document plans the page's content and title (which read the body).
class PlanMatcher
{
public:
    // A page larger than this is not read for its title or content: no page comes near it, and a
    // harvested archive holds the page in memory while it is composed.
    static constexpr qint64 kMaxPageSize = qint64(64) << 20;

    // `now` is the local date and time the recent-days criterion counts back from.
    static bool PlanMatches(const StrucRec& plan, const CacheEntry& entry,
                            const QDateTime& now = QDateTime::currentDateTime());

    // The text as a page might hold it: UTF-8, and GBK where that differs.
    static QByteArrayList pageEncodings(const QString& text);

    // The extension of a file name: what follows its last dot, unless a '/' follows that dot.
    static QString extensionOf(const QString& fileName);
};
