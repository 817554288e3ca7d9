#pragma once

#include "engine/run/ResultRow.h"

#include <QString>
#include <QStringList>

struct KeepTotals;

// What keeping reports, in this order: keepingStarted once, then notices, rows and totals as entries come,
// then keepingEnded once. Called on the keeper's thread (totalsChanged on the copy worker's, keepingEnded on
// the one that waits for the keeper's end); a window posts each call to its own thread in the same order.
class KeepObserver
{
public:
    virtual ~KeepObserver() = default;

    // The caches kept ("Chromium · Default"), and those that are not, each with why, in the user's words.
    virtual void keepingStarted(const QStringList& kept, const QStringList& notKept) = 0;
    // One line for the user that is no failure: a plan's delete-after not applied, a rescan after an overflow.
    virtual void notice(const QString& text) = 0;
    // An entry matched a plan and is queued, as a run lists its matches.
    virtual void resultRow(const ResultRow& row) = 0;
    // After each batch of saves is carried out.
    virtual void totalsChanged(const KeepTotals& totals) = 0;
    // Once, after a stop, with the final totals.
    virtual void keepingEnded(const KeepTotals& totals) = 0;
};
