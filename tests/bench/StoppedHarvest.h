#pragma once

// How long a harvest takes to stop, as closing the window stops it: the run goes as in the window (the
// scanner on its own thread with the window's pause, the copy worker and its preparers), is left to run
// for a while, then the closing flag is set and every thread is asked to stop and waited for.

#include "engine/cache/UrlCache.h"
#include "engine/run/CopyQueue.h"
#include "engine/run/HarvestRun.h"
#include "engine/run/ScanObserver.h"
#include "engine/run/tScanBuf.h"
#include "engine/run/thCpy.h"

#include <benchmark/benchmark.h>
#include <chrono>
#include <thread>

namespace StoppedHarvest
{

class SilentObserver : public ScanObserver
{
public:
    void hintText(const QString&) override {}
    void resultRow(const ResultRow&) override {}
    void runEnded() override {}
};

// The time from the closing flag to the last thread ended, for a run of `plans` over `cache` stopped
// after `runFor`.
inline std::chrono::duration<double> stopTime(UrlCache& cache, tScanBuf::RunPlanList plans,
                                              std::chrono::milliseconds runFor)
{
    using Clock = std::chrono::steady_clock;
    CopyQueue queue;
    std::atomic<bool> closing{false};
    SilentObserver observer;
    auto run = std::make_shared<HarvestRun>();
    thCpy worker(queue, cache, closing, std::chrono::milliseconds(10));
    worker.start();
    tScanBuf scanner(cache, queue, std::move(plans), closing, observer, std::chrono::milliseconds(1), run);
    scanner.start();
    std::this_thread::sleep_for(runFor);
    const Clock::time_point stop = Clock::now();
    closing = true;
    worker.requestStop();
    scanner.requestStop();
    worker.wait();
    scanner.wait();
    return Clock::now() - stop;
}

// Measures stopTime() with the run's time given by the benchmark's argument, in milliseconds; `makeCache`
// opens the cache afresh for each iteration, so that each run starts as the program's first would. The
// iteration time is the stop's, and stop_ms the longest of them.
template <typename MakeCache, typename MakePlans>
void measure(benchmark::State& state, MakeCache makeCache, MakePlans makePlans)
{
    double longest = 0;
    for (auto _ : state) {
        const std::shared_ptr<UrlCache> cache = makeCache();
        const std::chrono::duration<double> took =
            stopTime(*cache, makePlans(), std::chrono::milliseconds(state.range(0)));
        state.SetIterationTime(took.count());
        longest = std::max(longest, took.count());
    }
    state.counters["stop_ms"] = longest * 1000;
}

// The runs' times to measure: a stop while the caches are found and walks start, in the thick of it, and
// late; each a few times, since every run is long.
inline void configure(benchmark::internal::Benchmark* benchmark)
{
    benchmark->Arg(100)->Arg(1000)->Arg(3000)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);
}

} // namespace StoppedHarvest
