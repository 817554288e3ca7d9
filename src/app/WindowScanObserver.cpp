#include "app/WindowScanObserver.h"

#include <QMetaObject>

namespace
{
constexpr qsizetype kBatchRows = 500;
constexpr qint64 kBatchMilliseconds = 100;
} // namespace

WindowScanObserver::WindowScanObserver(QObject* context, Receiver receiver)
    : context_(context), receiver_(std::move(receiver))
{
    sinceFlush_.start();
}

void WindowScanObserver::hintText(const QString& text)
{
    flushRows();
    QMetaObject::invokeMethod(
        context_, [receiver = receiver_, text] { receiver.hintText(text); }, Qt::QueuedConnection);
}

void WindowScanObserver::resultRow(const ResultRow& row)
{
    pending_ << row;
    if (pending_.size() >= kBatchRows || sinceFlush_.elapsed() >= kBatchMilliseconds)
        flushRows();
}

void WindowScanObserver::runEnded()
{
    flushRows();
    QMetaObject::invokeMethod(
        context_, [receiver = receiver_] { receiver.runEnded(); }, Qt::QueuedConnection);
}

void WindowScanObserver::flushRows()
{
    sinceFlush_.restart();
    if (pending_.isEmpty())
        return;
    QMetaObject::invokeMethod(
        context_, [receiver = receiver_, rows = std::move(pending_)] { receiver.rows(rows); }, Qt::QueuedConnection);
    pending_.clear();
}
