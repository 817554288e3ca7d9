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
};

// Keeping: harvesting as the user browses. Watches the caches' folders and queues every entry that matches a
// plan once the browser has finished writing it, as a run would queue it: the same copy jobs, carried out by
// the copy worker that consumes `queue`. Plans' delete-after is never applied while keeping.
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

private:
    struct State;
    std::unique_ptr<State> state_;
};
