#pragma once

#include "engine/ResultRow.h"
#include "engine/ScanObserver.h"

#include <QElapsedTimer>
#include <QList>
#include <functional>

class QObject;

// Hands a scan's reports to the GUI thread, in the order the scan makes them. Rows travel in batches,
// so that a cache with tens of thousands of matches does not flood the event queue; a batch leaves at
// the latest after a tenth of a second, and always before the next text or the end of the run.
class WindowScanObserver : public ScanObserver
{
public:
    struct Receiver
    {
        std::function<void(const QString&)> hintText;
        std::function<void(const QList<ResultRow>&)> rows;
        std::function<void()> runEnded;
    };

    // The receiver's functions run on `context`'s thread; `context` must outlive the scan.
    WindowScanObserver(QObject* context, Receiver receiver);

    void hintText(const QString& text) override;
    void resultRow(const ResultRow& row) override;
    void runEnded() override;

private:
    void flushRows();

    QObject* const context_;
    Receiver receiver_;
    QList<ResultRow> pending_;
    QElapsedTimer sinceFlush_;
};
