#pragma once

#include "engine/cache/CacheDetector.h"

#include <QString>
#include <functional>
#include <memory>

class BackgroundWorker;
class QObject;
class QWidget;
class UrlCache;

// The two clean-up commands of the main window's system menu, each asked for first.
class CleanupCommands
{
public:
    static const QString kClearHistoryQuestion;
    static const QString kClearTemporaryFilesQuestion;
    static const QString kClearingHistoryText;
    static const QString kHistoryClearedText;
    static const QString kHistoryNotClearedText;

    // "清空历史记录": on Yes, clears the history of the browsers whose caches the program uses (those
    // listed in `programFolder`'s webgleaner.ini, or all found under `homes`) on a worker thread, and
    // returns the worker (nullptr on No), which the caller keeps until `finished` and waits for before
    // it goes. When the browsers' stores are done, on `context`'s thread: the preview's history is
    // cleared, a store that could not be cleared is reported to the application-wide handler (so reaches
    // the log), and `finished` is told whether every store was cleared. Nothing is called once `context`
    // is gone.
    static std::unique_ptr<BackgroundWorker>
    clearHistory(QWidget* parent, QObject* context, const QString& programFolder,
                 std::function<void(bool cleared)> finished,
                 const CacheDetector::Homes& homes = CacheDetector::Homes::fromEnvironment());

    // "清除上网临时文件": on Yes, shows the clean-up dialog (modal), which deletes the web entries of `cache`.
    // `findCaches` (may be empty) runs on the dialog's worker first, to find the caches afresh.
    static void clearTemporaryFiles(QWidget* parent, UrlCache& cache, std::function<void()> findCaches = {});
};
