#pragma once

#include <QDateTime>

// Chromium's internal time: a signed 64-bit count of microseconds since 1601-01-01 00:00 UTC.
class ChromiumTime
{
public:
    // The time in UTC, or an invalid QDateTime for zero and for values outside any time a cache could
    // have been written (before 1990 or after 2200), which only a damaged file holds.
    static QDateTime toUtc(qint64 microsecondsSince1601);
};
