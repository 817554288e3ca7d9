#pragma once

#include "engine/run/ResultRow.h"
#include "engine/run/ScanProgress.h"

#include <QString>

// What a scan reports, in this order: the searching text, the rows in match order with progress reports
// among them, the completion text, then the end of the run. Called on the scanner's thread; a window posts
// each call to its own thread in the same order.
class ScanObserver
{
public:
    virtual ~ScanObserver() = default;

    virtual void hintText(const QString& text) = 0;
    virtual void resultRow(const ResultRow& row) = 0;
    // A few times a second during the walk, and once when it ends (stopped or not).
    virtual void scanProgress(const ScanProgress& progress) { Q_UNUSED(progress); }
    virtual void runEnded() = 0;
};
