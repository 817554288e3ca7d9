#pragma once

#include "engine/cache/CacheLocation.h"
#include "engine/keep/KeepTotals.h"
#include "engine/run/tScanBuf.h"
#include "util/BackgroundWorker.h"

#include <chrono>
#include <memory>
#include <vector>

class CopyQueue;
class FailureLog;
class KeepObserver;
class UrlCache;

// How keeping waits for the browser.
struct KeepSettings
{
    // How long an entry must stay as it is before it is taken: browsers write an entry in steps.
    std::chrono::milliseconds settle{500};
    // How long a page waits at most for the resources it references to reach a cache.
    std::chrono::milliseconds pageHold{5000};
    // How long wait() gives the copy worker to carry out what was queued before the stop, so that the final
    // totals count it.
    std::chrono::milliseconds finishWait{2000};
    // At most this many folders watched, below the system's own limit; below 0, the system's alone. For
    // tests of a limit reached.
    int maxWatches = -1;
};

// Keeping: harvesting as the user browses. Watches the caches' folders and queues every entry that matches a
// plan once the browser has finished writing it, as a run would queue it: the same copy jobs, carried out by
// the copy worker that consumes `queue`. Plans' delete-after is never applied while keeping.
//
// Driven by the system's file events (inotify): the keeper's thread sleeps until a watched folder changes,
// and wakes on a timer only while an entry is settling or a page waits for its pictures. It starts with
// one pass over every cache, as a run would make it: entries saved before are skipped by the copy worker
// (same bytes already in place), so a restarted keeper saves nothing twice.
//
// An entry is taken once it reads as a whole usable entry and its file has not changed for
// KeepSettings::settle. A page (a document plan's match) waits until every resource its markup loads is
// found in a cache, or KeepSettings::pageHold has passed, since browsers write a page before its pictures.
// Each batch of matches taken together is one HarvestRun; its totals are added into totals() when the
// copy worker has carried it out. A save that fails is not tried again until the browser writes the entry
// again, or keeping starts again.
class CacheKeeper : public BackgroundWorker
{
public:
    // `cache` reads every cache of `caches` (a ProgramCache or a CombinedCache over them); the copy worker
    // consuming `queue` uses the same reader.
    CacheKeeper(UrlCache& cache, std::vector<CacheLocation> caches, CopyQueue& queue, tScanBuf::RunPlanList plans,
                KeepObserver& observer, FailureLog* log = nullptr, KeepSettings settings = {});
    ~CacheKeeper() override;

    CacheKeeper(const CacheKeeper&) = delete;
    CacheKeeper& operator=(const CacheKeeper&) = delete;

    // Keeps on a thread of its own until requestStop().
    void start();
    void requestStop() override;
    void wait() override;

    KeepTotals totals() const;

    // Acts as if the system's queue of file events had overflowed (events lost): every cache is read again.
    // For tests, which cannot make the system's queue overflow without changing its settings.
    void simulateQueueOverflow();

private:
    struct Ledger;
    class State;
    std::shared_ptr<Ledger> ledger_;
    std::unique_ptr<State> state_;
    const std::chrono::milliseconds finishWait_;
    bool started_ = false;
};
