#pragma once

#include "engine/keep/KeepObserver.h"
#include "engine/keep/KeepTotals.h"

#include <QList>
#include <functional>
#include <memory>

class QObject;

// Hands keeping's reports to the GUI thread in the order they are made. They come on the keeper's thread
// and, for the totals, on the copy worker's: each is put on one list under a lock, and one queued call at
// a time drains that list on the GUI thread. However many rows a start finds in the caches, they reach the
// window as a few batches, in order with the notices and totals between them.
//
// The queued calls hold the list, not this object: it may be destroyed once nothing calls it any more,
// and what it had posted still arrives. Nothing arrives once `context` is gone.
class WindowKeepObserver final : public KeepObserver
{
public:
    struct Receiver
    {
        std::function<void(const QStringList& kept, const QStringList& notKept)> started;
        std::function<void(const QString&)> notice;
        std::function<void(const QList<ResultRow>&)> rows;
        std::function<void(const KeepTotals&)> totals;
        std::function<void(const KeepTotals&)> ended;
    };

    // `receiver`'s functions, all of them set, run on `context`'s thread.
    WindowKeepObserver(QObject* context, Receiver receiver);
    ~WindowKeepObserver() override;

    WindowKeepObserver(const WindowKeepObserver&) = delete;
    WindowKeepObserver& operator=(const WindowKeepObserver&) = delete;

    void keepingStarted(const QStringList& kept, const QStringList& notKept) override;
    void notice(const QString& text) override;
    void resultRow(const ResultRow& row) override;
    void totalsChanged(const KeepTotals& totals) override;
    void keepingEnded(const KeepTotals& totals) override;

private:
    struct Reports;

    // A batch of rows, or any other report as `call`; posts a drain to the context unless one is on its way.
    void post(QList<ResultRow> rows, std::function<void()> call);

    QObject* const context_;
    const std::shared_ptr<Reports> reports_;
};
