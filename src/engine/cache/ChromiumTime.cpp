#include "engine/cache/ChromiumTime.h"

namespace
{

constexpr qint64 microsecondsFrom1601To1970 = 11'644'473'600'000'000LL;
constexpr qint64 earliestPlausibleMsecs = 631'152'000'000LL; // 1990-01-01
constexpr qint64 latestPlausibleMsecs = 7'258'118'400'000LL; // 2200-01-01

} // namespace

QDateTime ChromiumTime::toUtc(qint64 microsecondsSince1601)
{
    // Checked before subtracting, so no value a file holds can overflow.
    if (microsecondsSince1601 < microsecondsFrom1601To1970)
        return {};
    const qint64 msecsSinceEpoch = (microsecondsSince1601 - microsecondsFrom1601To1970) / 1000;
    if (msecsSinceEpoch < earliestPlausibleMsecs || msecsSinceEpoch > latestPlausibleMsecs)
        return {};
    return QDateTime::fromMSecsSinceEpoch(msecsSinceEpoch, Qt::UTC);
}
