#pragma once

#include "engine/cache/CacheDetector.h"

#include <QString>

class FailureLog;
class ProgramCache;

// Finds the browsers' caches afresh and puts them in place of the program's, before each run and each
// clearing of the temporary files: browsers come and go, and so do their profiles. Finding them lists the
// user's folders and opens files in them, which a slow disk or a FIFO put in a cache's place can hold up,
// so a window runs it on a worker thread. Callable from any thread; walks already under way keep the
// caches they started with.
class CacheRefresh
{
public:
    static const QString kNoPermissionFormat; // "%1" is the folder

    // Replaces `cache`'s caches with those `iniFile` lists, else those found under `homes` (see
    // CacheDetector::programCaches). Each cache this user may not read is written to `log` (may be null),
    // one line each. The caches put in place: those that can be read.
    static QList<CacheLocation> readableCaches(ProgramCache& cache, const QString& iniFile,
                                               const CacheDetector::Homes& homes, FailureLog* log);

    // webgleaner.ini in `programFolder`, where the caches to use may be listed.
    static QString iniFileIn(const QString& programFolder);
};
