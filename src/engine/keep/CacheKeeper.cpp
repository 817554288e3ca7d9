#include "engine/keep/CacheKeeper.h"

#include "engine/keep/KeepObserver.h"

#include <mutex>

// A placeholder until the watching is in: starts, reports, and stops.
struct CacheKeeper::State
{
    State(KeepObserver& observer, std::vector<CacheLocation> caches) : observer(observer), caches(std::move(caches)) {}

    KeepObserver& observer;
    std::vector<CacheLocation> caches;
    mutable std::mutex mutex;
    KeepTotals totals;
    bool started = false;
};

CacheKeeper::CacheKeeper(UrlCache& cache, std::vector<CacheLocation> caches, CopyQueue& queue,
                         tScanBuf::RunPlanList plans, KeepObserver& observer, FailureLog* log, KeepSettings settings)
    : state_(std::make_unique<State>(observer, std::move(caches)))
{
    Q_UNUSED(cache);
    Q_UNUSED(queue);
    Q_UNUSED(plans);
    Q_UNUSED(log);
    Q_UNUSED(settings);
}

CacheKeeper::~CacheKeeper() = default;

void CacheKeeper::start()
{
    QStringList kept;
    for (const CacheLocation& location : state_->caches)
        kept.append(location.title());
    state_->started = true;
    state_->observer.keepingStarted(kept, {});
}

void CacheKeeper::requestStop() {}

void CacheKeeper::wait()
{
    if (state_->started)
        state_->observer.keepingEnded(totals());
    state_->started = false;
}

KeepTotals CacheKeeper::totals() const
{
    const std::lock_guard lock(state_->mutex);
    return state_->totals;
}
