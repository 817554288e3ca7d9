// Speed of a whole harvest of a real cache, beside the floors it is measured against:
//
//   CopyCacheFiles   copying every file of the cache folder with plain file copies, as cp -r does
//   HarvestResources a run of one resource plan (pictures, sheets, scripts) over every entry, with the copy
//                    worker saving every match, without the window's pauses
//   Harvest          the same with a document plan too: pages composed into archives with their resources
//   HarvestResourcesWithWarc
//                    HarvestResources writing a web archive (--warc) of what it saves too; its time over
//                    HarvestResources' is what the archive costs
//   RecordEntries    the web archive alone: every entry of the cache recorded, on one thread
//   StopWhileHarvesting/<ms>  the same run, as the window makes it, stopped after <ms> as closing the window
//                    stops it: the time the stop takes, from the closing flag to the last thread ended
//
// Everything is written under $TMPDIR (else /tmp), the copies and the save folders alike.
// Each reports files (entries harvested) and bytes (written into the destination) per second.
//
// Usage: harvest_benchmark [benchmark options] CACHE_FOLDER
// tools/make-large-cache.py makes a large Chromium cache to point it at.

#include "StoppedHarvest.h"
#include "engine/cache/CacheDetector.h"
#include "engine/cache/UrlCache.h"
#include "engine/run/CopyQueue.h"
#include "engine/run/HarvestRun.h"
#include "engine/run/ScanObserver.h"
#include "engine/run/tScanBuf.h"
#include "engine/run/thCpy.h"
#include "engine/warc/RunArchive.h"

#include <QDirIterator>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <sys/resource.h>

namespace
{

CacheLocation gLocation;

using StoppedHarvest::SilentObserver;

struct FolderTotals
{
    qint64 files = 0;
    qint64 bytes = 0;
};

FolderTotals totalsOf(const QString& folder)
{
    FolderTotals totals;
    QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        ++totals.files;
        totals.bytes += it.fileInfo().size();
    }
    return totals;
}

void report(benchmark::State& state, const FolderTotals& totals)
{
    state.counters["files"] = static_cast<double>(totals.files);
    state.counters["files/s"] =
        benchmark::Counter(static_cast<double>(totals.files * state.iterations()), benchmark::Counter::kIsRate);
    state.counters["MB/s"] =
        benchmark::Counter(static_cast<double>(totals.bytes * state.iterations()) / 1e6, benchmark::Counter::kIsRate);
}

// Replaces `output` with a fresh, empty folder, outside the timing.
void freshFolder(benchmark::State& state, std::optional<QTemporaryDir>& output)
{
    state.PauseTiming();
    output.reset();
    output.emplace();
    state.ResumeTiming();
}

// Copies every file of `files` into a fresh folder per iteration.
void copyFiles(benchmark::State& state, const QStringList& files)
{
    namespace fs = std::filesystem;
    std::optional<QTemporaryDir> output;
    FolderTotals totals;
    for (auto _ : state) {
        freshFolder(state, output);
        int number = 0;
        for (const QString& file : files) {
            std::error_code error;
            fs::copy_file(QFile::encodeName(file).toStdString(),
                          QFile::encodeName(output->filePath(QString::number(++number))).toStdString(), error);
        }
        state.PauseTiming();
        totals = totalsOf(output->path());
        state.ResumeTiming();
    }
    report(state, totals);
}

void CopyCacheFiles(benchmark::State& state)
{
    QStringList files;
    QDirIterator it(gLocation.folder, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << it.next();
    copyFiles(state, files);
}

StrucRec plan(const QString& name, int ztype, const QString& tpname, const QString& saveFolder)
{
    StrucRec record;
    record.name = name;
    record.ztype = ztype;
    record.tpname = tpname;
    record.savpath = saveFolder;
    return record;
}

// CPU time of the whole process, every thread's, user and system.
std::chrono::microseconds processCpuTime()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto of = [](const timeval& time) {
        return std::chrono::seconds(time.tv_sec) + std::chrono::microseconds(time.tv_usec);
    };
    return of(usage.ru_utime) + of(usage.ru_stime);
}

void harvest(benchmark::State& state, bool withDocuments, bool withWarc = false)
{
    // Every iteration's output is kept until the end: a file system allocating inodes just after thousands
    // were deleted pays for looking past them, which would charge one iteration for the one before.
    std::vector<std::unique_ptr<QTemporaryDir>> outputs;
    FolderTotals totals;
    HarvestRun::Totals ledger;
    std::chrono::microseconds cpuTime{0};
    for (auto _ : state) {
        // Fresh folders and a fresh cache reader each time: the program's start, not the harvest.
        state.PauseTiming();
        const QTemporaryDir& output = *outputs.emplace_back(std::make_unique<QTemporaryDir>());
        const std::unique_ptr<UrlCache> cache = CacheDetector::open(gLocation);
        QDir(output.path()).mkdir("resources");
        QDir(output.path()).mkdir("documents");
        tScanBuf::RunPlanList plans{
            plan("resources", 1, "*.gif,*.jpg(jpeg),*.png,*.css,*.js,*.json", output.filePath("resources"))};
        if (withDocuments)
            plans.push_back(plan("documents", 0, "*.htm(html)", output.filePath("documents")));
        CopyQueue queue;
        const std::atomic<bool> closing{false};
        SilentObserver observer;
        std::shared_ptr<RunArchive> archive;
        if (withWarc)
            archive = std::make_shared<RunArchive>(RunArchive::Destination{output.filePath("run.warc.gz"), {}},
                                                   "WebGleaner benchmark", QStringList{gLocation.folder});
        const auto run = std::make_shared<HarvestRun>(HarvestRun::Finished(), HarvestRun::kDecodingFloor, archive);
        const std::chrono::microseconds cpuBefore = processCpuTime();
        state.ResumeTiming();

        thCpy worker(queue, *cache, closing, std::chrono::milliseconds(0));
        worker.start();
        tScanBuf scanner(*cache, queue, std::move(plans), closing, observer, std::chrono::milliseconds(0), run);
        scanner.Execute();
        run->waitFinished(std::chrono::hours(1));
        worker.requestStop();
        worker.wait();

        state.PauseTiming();
        cpuTime += processCpuTime() - cpuBefore;
        totals = totalsOf(output.path());
        ledger = run->totals();
        state.ResumeTiming();
    }
    report(state, totals);
    // What the run cost the machine, whichever thread did it: unlike the wall time, hardly moved by other
    // programs running at the same time.
    state.counters["cpu_ms"] = double(cpuTime.count()) / 1000.0 / double(state.iterations());
    state.counters["failed"] = ledger.failed;
    state.counters["changed"] = ledger.changed;
    if (withWarc) {
        state.counters["records"] = ledger.archived;
        state.counters["unrecorded"] = ledger.archiveFailed;
    }
}

void HarvestResources(benchmark::State& state)
{
    harvest(state, false);
}

void Harvest(benchmark::State& state)
{
    harvest(state, true);
}

void HarvestResourcesWithWarc(benchmark::State& state)
{
    harvest(state, false, true);
}

// The web archive alone: every entry of the cache, walked beforehand, recorded into a fresh file.
void RecordEntries(benchmark::State& state)
{
    const std::unique_ptr<UrlCache> cache = CacheDetector::open(gLocation);
    std::vector<CacheEntry> entries;
    const std::unique_ptr<CacheEnumeration> walk = cache->enumerate();
    while (std::optional<CacheEntry> entry = walk->next())
        entries.push_back(std::move(*entry));
    std::optional<QTemporaryDir> output;
    FolderTotals totals;
    for (auto _ : state) {
        freshFolder(state, output);
        {
            RunArchive archive({output->filePath("run.warc.gz"), {}}, "WebGleaner benchmark", {gLocation.folder});
            for (const CacheEntry& entry : entries)
                archive.record(entry);
            archive.finish();
        }
        state.PauseTiming();
        totals = totalsOf(output->path());
        totals.files = qint64(entries.size());
        state.ResumeTiming();
    }
    report(state, totals);
}

void StopWhileHarvesting(benchmark::State& state)
{
    std::optional<QTemporaryDir> output;
    StoppedHarvest::measure(
        state, [] { return std::shared_ptr<UrlCache>(CacheDetector::open(gLocation)); },
        [&] {
            output.reset();
            output.emplace();
            return tScanBuf::RunPlanList{
                plan("resources", 1, "*.gif,*.jpg(jpeg),*.png,*.css,*.js,*.json", output->path()),
                plan("documents", 0, "*.htm(html)", output->path())};
        });
}

} // namespace

BENCHMARK(CopyCacheFiles)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(HarvestResources)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(HarvestResourcesWithWarc)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(RecordEntries)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Harvest)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(StopWhileHarvesting)->Apply(StoppedHarvest::configure);

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: harvest_benchmark [benchmark options] CACHE_FOLDER\n");
        return 2;
    }
    gLocation = CacheDetector::recognise(QString::fromLocal8Bit(argv[1]));
    if (!CacheDetector::open(gLocation)) {
        std::fprintf(stderr, "harvest_benchmark: %s is not a cache this program reads\n", argv[1]);
        return 2;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
