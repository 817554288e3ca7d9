// Speed of a whole harvest of a real cache, beside the floors it is measured against:
//
//   CopyCacheFiles   copying every file of the cache folder with plain file copies, as cp -r does
//   CopyBodies       copying every entry's body, written out beforehand, with plain file copies: what
//                    the harvest saves, at the cost of a copy
//   Harvest          a run of one resource plan and one document plan over every entry, with the copy
//                    worker saving every match (bodies written out, resources copied, pages composed
//                    into archives), without the window's pauses
//
// Each reports files (entries harvested) and bytes (written into the destination) per second.
//
// Usage: harvest_benchmark [benchmark options] CACHE_FOLDER
// tools/make-large-cache.py makes a large Chromium cache to point it at.

#include "engine/CopyQueue.h"
#include "engine/ScanObserver.h"
#include "engine/cache/CacheDetector.h"
#include "engine/cache/ExtractionFolder.h"
#include "engine/cache/UrlCache.h"
#include "engine/tScanBuf.h"
#include "engine/thCpy.h"

#include <QDirIterator>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include <cstdio>
#include <filesystem>
#include <optional>

namespace
{

CacheLocation gLocation;

class SilentObserver : public ScanObserver
{
public:
    void hintText(const QString&) override {}
    void resultRow(const ResultRow&) override {}
    void runEnded() override {}
};

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

// Copies every file of `files` into a fresh folder per iteration.
void copyFiles(benchmark::State& state, const QStringList& files)
{
    namespace fs = std::filesystem;
    std::optional<QTemporaryDir> output;
    FolderTotals totals;
    for (auto _ : state) {
        state.PauseTiming();
        output.reset();
        output.emplace();
        state.ResumeTiming();
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

void CopyBodies(benchmark::State& state)
{
    ExtractionFolder extraction;
    const std::unique_ptr<UrlCache> cache = CacheDetector::open(gLocation, extraction);
    const std::unique_ptr<CacheEnumeration> walk = cache->enumerate();
    QStringList bodies;
    while (const std::optional<CacheEntry> entry = walk->next()) {
        if (entry->materialize())
            bodies << entry->localFile;
    }
    copyFiles(state, bodies);
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

void Harvest(benchmark::State& state)
{
    std::optional<QTemporaryDir> output;
    std::optional<ExtractionFolder> extraction;
    FolderTotals totals;
    for (auto _ : state) {
        // Fresh folders and a fresh cache reader each time: the program's start, not the harvest.
        state.PauseTiming();
        output.reset();
        output.emplace();
        extraction.reset();
        extraction.emplace();
        const std::unique_ptr<UrlCache> cache = CacheDetector::open(gLocation, *extraction);
        QDir(output->path()).mkdir("resources");
        QDir(output->path()).mkdir("documents");
        tScanBuf::RunPlanList plans{
            plan("resources", 1, "*.gif,*.jpg(jpeg),*.png,*.css,*.js,*.json", output->filePath("resources")),
            plan("documents", 0, "*.htm(html)", output->filePath("documents"))};
        CopyQueue queue;
        const std::atomic<bool> closing{false};
        SilentObserver observer;
        state.ResumeTiming();

        thCpy worker(queue, *cache, closing, std::chrono::milliseconds(0));
        worker.start();
        tScanBuf scanner(*cache, queue, std::move(plans), closing, observer, std::chrono::milliseconds(0));
        scanner.start();
        scanner.wait();
        worker.waitUntilIdle();

        state.PauseTiming();
        worker.requestStop();
        worker.wait();
        totals = totalsOf(output->path());
        state.ResumeTiming();
    }
    report(state, totals);
}

} // namespace

BENCHMARK(CopyCacheFiles)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(CopyBodies)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Harvest)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: harvest_benchmark [benchmark options] CACHE_FOLDER\n");
        return 2;
    }
    gLocation = CacheDetector::recognise(QString::fromLocal8Bit(argv[1]));
    ExtractionFolder probe;
    if (!CacheDetector::open(gLocation, probe)) {
        std::fprintf(stderr, "harvest_benchmark: %s is not a cache this program reads\n", argv[1]);
        return 2;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
