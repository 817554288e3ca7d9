#include "app/WindowScanObserver.h"

#include <QMetaObject>
#include <QTimer>

WindowScanObserver::WindowScanObserver(QObject* context, Receiver receiver)
    : context_(context), receiver_(std::move(receiver)), drainTimer_(std::make_unique<QTimer>())
{
    drainTimer_->setInterval(kDrainMilliseconds);
    QObject::connect(drainTimer_.get(), &QTimer::timeout, context_, [this] { drainRows(); });
    drainTimer_->start();
}

WindowScanObserver::~WindowScanObserver() = default;

void WindowScanObserver::hintText(const QString& text)
{
    QMetaObject::invokeMethod(
        context_,
        [this, show = receiver_.hintText, text] {
            drainRows();
            show(text);
        },
        Qt::QueuedConnection);
}

void WindowScanObserver::resultRow(const ResultRow& row)
{
    const std::lock_guard lock(pendingMutex_);
    pending_ << row;
}

void WindowScanObserver::scanProgress(const ScanProgress& progress)
{
    // After the rows it counts.
    QMetaObject::invokeMethod(
        context_,
        [this, show = receiver_.progress, progress] {
            drainRows();
            if (show)
                show(progress);
        },
        Qt::QueuedConnection);
}

void WindowScanObserver::runEnded()
{
    endedPromise_.set_value();
    // The receiver may destroy this observer: it is called through a copy.
    QMetaObject::invokeMethod(
        context_,
        [this, ended = receiver_.runEnded] {
            drainTimer_->stop();
            drainRows();
            ended();
        },
        Qt::QueuedConnection);
}

void WindowScanObserver::drainRows()
{
    QList<ResultRow> rows;
    {
        const std::lock_guard lock(pendingMutex_);
        rows.swap(pending_);
    }
    if (!rows.isEmpty())
        receiver_.rows(rows);
}
