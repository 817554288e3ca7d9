#pragma once

#include "engine/ResultRow.h"

#include <QString>

// What a scan reports, in this order: the searching text, the rows in match order, the completion text,
// then the end of the run. Called on the scanner's thread; a window posts each call to its own thread
// in the same order.
class ScanObserver
{
public:
    virtual ~ScanObserver() = default;

    virtual void hintText(const QString& text) = 0;
    virtual void resultRow(const ResultRow& row) = 0;
    virtual void runEnded() = 0;
};
