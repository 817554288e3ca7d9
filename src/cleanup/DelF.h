#pragma once

#include "util/BackgroundWorker.h"
#include "util/WorkerThread.h"

#include <atomic>
#include <functional>

class FailureLog;
class UrlCache;

// Clears the temporary internet files: deletes every entry of the cache whose URL starts like one of the
// accepted spellings of "http" (the harvest scanner's test), https included; other schemes and other
// spellings stay. Every entry means usable or not (UrlCache::enumerateAll): redirects, error pages and
// ranges with gaps record a visit as much as a whole page does.
//
// The walk comes first and collects the entries; the deletions follow, one entry at a time, so the walk
// never runs into files removed under it. An entry that cannot be deleted stays and the work goes on; the
// end tells how many were not deleted, and the log gets one line per cache and kind of failure (a cache
// that is never written to, a deletion that failed), not one per entry.
//
// Runs on a thread of its own (start) or on the calling one (Execute). The reports are made on that
// thread; a window posts them to its own. A first step, when given, runs there before the walk: a window
// finds the browsers' caches afresh in it, which may wait on the disk.
class DelF : public BackgroundWorker
{
public:
    struct Counts
    {
        int deleted = 0;  // the entries gone, including those the browser removed meanwhile
        int failed = 0;   // there and not deleted
        int readOnly = 0; // not deleted since their cache is never written to (a blockfile cache)

        bool allDeleted() const { return failed == 0 && readOnly == 0; }
        friend bool operator==(const Counts&, const Counts&) = default;
    };

    struct Reports
    {
        // How far the deletions are, 0 to 100; not called during the walk, whose length is not known.
        std::function<void(int percent)> progress;
        // Called once, last, also after a stop: what became of the entries.
        std::function<void(const Counts& counts)> finished;
    };

    // `log` (may be null) receives the failures and what the thread's barrier catches; `firstStep` (may be
    // empty) runs before the walk.
    DelF(UrlCache& cache, Reports reports, FailureLog* log = nullptr, std::function<void()> firstStep = {});
    ~DelF() override;

    DelF(const DelF&) = delete;
    DelF& operator=(const DelF&) = delete;

    void start();
    void Execute();

    void requestStop() override;
    void wait() override;

private:
    UrlCache& cache_;
    const Reports reports_;
    FailureLog* const log_;
    const std::function<void()> firstStep_;
    std::atomic<bool> stopRequested_{false};
    WorkerThread thread_;
};
