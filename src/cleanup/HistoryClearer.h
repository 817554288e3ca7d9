#pragma once

#include "engine/cache/CacheDetector.h"
#include "util/BackgroundWorker.h"
#include "util/WorkerThread.h"

#include <QStringList>
#include <functional>

class FailureLog;

// Clears the history of the browsers whose caches the program uses, on a thread of its own: finding the
// caches opens the user's files, and a database a running browser holds is waited for. Only the
// browsers' stores: the preview's history belongs to the GUI thread (UrlHistory::clearPreviewHistory).
//
// The report is made on the worker's thread; a window posts it to its own.
class HistoryClearer final : public BackgroundWorker
{
public:
    // Called once, last: one text per store that could not be cleared; empty when all were.
    using Finished = std::function<void(const QStringList& failures)>;

    // The caches are those `iniFile` lists, else those found under `homes` (CacheDetector::programCaches).
    // `log` (may be null) receives what the thread's barrier catches.
    HistoryClearer(QString iniFile, CacheDetector::Homes homes, Finished finished, FailureLog* log = nullptr);
    ~HistoryClearer() override;

    HistoryClearer(const HistoryClearer&) = delete;
    HistoryClearer& operator=(const HistoryClearer&) = delete;

    void start();
    void Execute();

    // A store is cleared whole or not at all, and each waits at most UrlHistory::kBusyTimeout, so the
    // clearing is not cut short: wait() returns soon enough.
    void requestStop() override;
    void wait() override;

private:
    const QString iniFile_;
    const CacheDetector::Homes homes_;
    const Finished finished_;
    WorkerThread thread_;
};
