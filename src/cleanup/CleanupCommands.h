#pragma once

#include "engine/cache/CacheDetector.h"

#include <QString>

class QWidget;
class UrlCache;

// The two clean-up commands of the main window's system menu, each asked for first.
class CleanupCommands
{
public:
    static const QString kClearHistoryQuestion;
    static const QString kClearTemporaryFilesQuestion;

    // "清空历史记录": on Yes, clears the history of the browsers whose caches the program uses (those
    // listed in `programFolder`'s webgleaner.ini, or all found under `homes`) and the preview's. A store
    // that could not be cleared raises an error, for the application-wide handler to log.
    static void clearHistory(QWidget* parent, const QString& programFolder,
                             const CacheDetector::Homes& homes = CacheDetector::Homes::fromEnvironment());

    // "清除上网临时文件": on Yes, shows the clean-up dialog (modal), which deletes the web entries of `cache`.
    static void clearTemporaryFiles(QWidget* parent, UrlCache& cache);
};
