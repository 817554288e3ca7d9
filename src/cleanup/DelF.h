#pragma once

#include "engine/BackgroundWorker.h"
#include "engine/WorkerThread.h"

#include <atomic>
#include <functional>

class FailureLog;
class UrlCache;

// Clears the temporary internet files: deletes every entry of the cache whose URL starts like one of the
// accepted spellings of "http" (the harvest scanner's test), https included; other schemes and other
// spellings stay.
//
// The walk comes first and collects the addresses; the deletions follow, so the walk never runs into
// files removed under it, and an address held by several entries (one per cache partition) is deleted
// once. Failures are not reported: an entry that cannot be deleted stays, and the work goes on.
//
// Runs on a thread of its own (start) or on the calling one (Execute). The reports are made on that
// thread; a window posts them to its own. A first step, when given, runs there before the walk: a window
// finds the browsers' caches afresh in it, which may wait on the disk.
class DelF : public BackgroundWorker
{
public:
    struct Reports
    {
        // How far the deletions are, 0 to 100; not called during the walk, whose length is not known.
        std::function<void(int percent)> progress;
        // Called once, last, also after a stop: how many addresses were deleted.
        std::function<void(int deleted)> finished;
    };

    // `log` (may be null) receives what the thread's barrier catches; `firstStep` (may be empty) runs
    // before the walk.
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
