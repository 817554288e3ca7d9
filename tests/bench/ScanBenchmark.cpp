// Cost of a harvest scan (no pause, no saving) beside the plain walk of the same cache:
//
//   Enumerate   walking every entry of the cache
//   Scan        the same walk, testing every entry against a typical set of plans that read no
//               page bodies: file types, a site, recent days
//
// Usage: scan_benchmark [benchmark options] CACHE_FOLDER

#include "engine/cache/CacheDetector.h"
#include "engine/cache/UrlCache.h"
#include "engine/run/CopyQueue.h"
#include "engine/run/ScanObserver.h"
#include "engine/run/tScanBuf.h"

#include <benchmark/benchmark.h>
#include <cstdio>

namespace
{

CacheLocation gLocation;

class CountingObserver : public ScanObserver
{
public:
    void hintText(const QString&) override {}
    void resultRow(const ResultRow&) override { ++rows; }
    void runEnded() override {}

    qint64 rows = 0;
};

StrucRec plan(const char* name, int ztype, const char* tpname, const char* site, int days)
{
    StrucRec record;
    record.name = QString::fromUtf8(name);
    record.ztype = ztype;
    record.tpname = QString::fromUtf8(tpname);
    record.urlStr = QString::fromUtf8(site);
    record.days = days;
    record.savpath = QStringLiteral("/nonexistent");
    return record;
}

void Enumerate(benchmark::State& state)
{
    for (auto _ : state) {
        const std::unique_ptr<UrlCache> cache = CacheDetector::open(gLocation);
        const std::unique_ptr<CacheEnumeration> walk = cache->enumerate();
        qint64 entries = 0;
        while (walk->next())
            ++entries;
        benchmark::DoNotOptimize(entries);
    }
}

void Scan(benchmark::State& state)
{
    qint64 rows = 0;
    for (auto _ : state) {
        const std::unique_ptr<UrlCache> cache = CacheDetector::open(gLocation);
        CopyQueue queue;
        const std::atomic<bool> closing{false};
        CountingObserver observer;
        tScanBuf scanner(*cache, queue,
                         {plan("pictures", 1, "*.gif,*.jpg(jpeg),*.png", "", 0),
                          plan("pages", 0, "*.htm(html),*.asp,*.php,*.jsp", "127.0.0.1", 0),
                          plan("this week", 1, "*.css,*.js", "http://", 7)},
                         closing, observer, std::chrono::milliseconds(0));
        scanner.Execute();
        rows = observer.rows;
        // Dropping the queued jobs is part of neither side.
        state.PauseTiming();
        while (queue.FirstJob() != nullptr)
            queue.RemoveFirstJob();
        state.ResumeTiming();
    }
    state.counters["rows"] = static_cast<double>(rows);
}

} // namespace

BENCHMARK(Enumerate)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Scan)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: scan_benchmark [benchmark options] CACHE_FOLDER\n");
        return 2;
    }
    gLocation = CacheDetector::recognise(QString::fromLocal8Bit(argv[1]));
    if (!CacheDetector::open(gLocation)) {
        std::fprintf(stderr, "scan_benchmark: %s is not a cache this program reads\n", argv[1]);
        return 2;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
