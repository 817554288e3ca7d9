#pragma once

#include "engine/cache/CacheDetector.h"
#include "util/BackgroundWorker.h"
#include "util/WorkerThread.h"

#include <QStringList>
#include <functional>

class FailureLog;

// Clears the history of the browsers whose caches the program uses, on a thread of its own: finding the
// caches opens the user's files, and a database a running browser holds is waited for.
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

    // The profile folders holding the history stores of the browsers that wrote `caches`. Browsers on
    // Linux keep their cache under the cache home and their profile under the config home (Chromium) or a
    // dot folder of the home (Firefox), under the same relative path; a profile may also hold its cache.
    // Folders without a history store, and apps' caches, are left out; each folder comes once.
    static QStringList profileFolders(const QList<CacheLocation>& caches, const CacheDetector::Homes& homes);

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
