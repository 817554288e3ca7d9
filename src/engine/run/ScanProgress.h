#pragma once

#include <QtGlobal>

// How far a scan has got, as its observer hears it.
struct ScanProgress
{
    qint64 entriesWalked = 0;
    // -1 when no cache tells; otherwise an estimate from the caches' own lists and indexes, which may grow
    // while the walk goes on (an index written before the browser's last additions).
    qint64 entriesTotal = -1;
    qint64 matches = 0;
};
