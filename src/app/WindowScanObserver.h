#pragma once

#include "engine/run/ResultRow.h"
#include "engine/run/ScanObserver.h"

#include <QList>
#include <functional>
#include <future>
#include <memory>
#include <mutex>

class QObject;
class QTimer;

// Hands a scan's reports to the GUI thread, in the order the scan makes them. Rows wait in a batch that a
// timer on the GUI thread drains every tenth of a second, so that tens of thousands of matches do not flood
// the event queue and a lone match is shown at once however long the walk goes on without another. The
// batch is also drained before each text and before the end of the run, which keeps the order.
class WindowScanObserver : public ScanObserver
{
public:
    struct Receiver
    {
        std::function<void(const QString&)> hintText;
        std::function<void(const QList<ResultRow>&)> rows;
        std::function<void(const ScanProgress&)> progress;
        std::function<void()> runEnded;
    };

    static constexpr int kDrainMilliseconds = 100;

    // Made on `context`'s thread, where the receiver's functions run; `context` must outlive the scan.
    WindowScanObserver(QObject* context, Receiver receiver);
    ~WindowScanObserver() override;

    void hintText(const QString& text) override;
    void resultRow(const ResultRow& row) override;
    void scanProgress(const ScanProgress& progress) override;
    void runEnded() override;

    // Hands the rows waiting so far to the receiver; on the context's thread.
    void drainRows();

    // Ready once the scan has made its last report, its last copy job queued; any thread may wait for it.
    std::shared_future<void> ended() const { return ended_; }

private:
    QObject* const context_;
    const Receiver receiver_;
    std::unique_ptr<QTimer> drainTimer_;
    std::mutex pendingMutex_;
    QList<ResultRow> pending_;
    std::promise<void> endedPromise_;
    const std::shared_future<void> ended_{endedPromise_.get_future().share()};
};
