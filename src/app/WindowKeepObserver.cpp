#include "app/WindowKeepObserver.h"

#include <QMetaObject>
#include <QObject>
#include <mutex>
#include <vector>

// The reports not yet handed over, and what they are handed to.
struct WindowKeepObserver::Reports
{
    // One report: a batch of rows, or any other call.
    struct Report
    {
        QList<ResultRow> rows;
        std::function<void()> call; // empty for a batch of rows
    };

    explicit Reports(Receiver handedTo) : receiver(std::move(handedTo)) {}

    // Appends `report`; true when no drain is on its way yet, so that the caller posts one.
    bool add(Report report)
    {
        const std::lock_guard lock(mutex);
        if (!report.call && !pending.empty() && !pending.back().call)
            pending.back().rows.append(report.rows);
        else
            pending.push_back(std::move(report));
        return !std::exchange(drainPosted, true);
    }

    // On the GUI thread.
    void drain()
    {
        std::vector<Report> reports;
        {
            const std::lock_guard lock(mutex);
            reports.swap(pending);
            drainPosted = false;
        }
        for (const Report& report : reports) {
            if (report.call)
                report.call();
            else
                receiver.rows(report.rows);
        }
    }

    const Receiver receiver;
    std::mutex mutex;
    std::vector<Report> pending;
    bool drainPosted = false;
};

WindowKeepObserver::WindowKeepObserver(QObject* context, Receiver receiver)
    : context_(context), reports_(std::make_shared<Reports>(std::move(receiver)))
{}

WindowKeepObserver::~WindowKeepObserver() = default;

void WindowKeepObserver::post(QList<ResultRow> rows, std::function<void()> call)
{
    if (!reports_->add({std::move(rows), std::move(call)}))
        return;
    QMetaObject::invokeMethod(
        context_, [reports = reports_] { reports->drain(); }, Qt::QueuedConnection);
}

void WindowKeepObserver::keepingStarted(const QStringList& kept, const QStringList& notKept)
{
    post({}, [started = reports_->receiver.started, kept, notKept] { started(kept, notKept); });
}

void WindowKeepObserver::notice(const QString& text)
{
    post({}, [notice = reports_->receiver.notice, text] { notice(text); });
}

void WindowKeepObserver::resultRow(const ResultRow& row)
{
    post({row}, {});
}

void WindowKeepObserver::totalsChanged(const KeepTotals& totals)
{
    post({}, [changed = reports_->receiver.totals, totals] { changed(totals); });
}

void WindowKeepObserver::keepingEnded(const KeepTotals& totals)
{
    post({}, [ended = reports_->receiver.ended, totals] { ended(totals); });
}
