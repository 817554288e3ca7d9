// Speed of the cache readers on a real cache, each beside the floor it is measured against:
//
//   ReadFileHeads     reading the first 4 KB of every file in the cache folder: the floor of a walk for
//                     the formats that keep one file per entry (Chromium simple cache, Firefox cache2)
//   ReadFormatFiles   reading whole the files that hold every entry's records: the floor of a walk for
//                     the formats that share a few files among all entries (a blockfile cache's index and
//                     data_<n> files; an index.dat file, with the status of every body file beside it,
//                     which a walk checks against the record)
//   Enumerate         walking every entry: URL, size and last-access time
//   ReadAndDecode     reading every file whole and decoding every body in memory
//   ReadDecodeWrite   the same, and writing each decoded body to a new file: extraction's true floor on
//                     a file system where making a file costs more than reading one
//   Extract           walking every entry and writing every body to its local file
//
// Usage: cache_benchmark [benchmark options] CACHE_FOLDER
// tools/make-large-cache.py makes a large Chromium cache to point it at.

#include "engine/cache/CacheDetector.h"
#include "engine/cache/ContentDecoder.h"
#include "engine/cache/ExtractionFolder.h"
#include "engine/cache/UrlCache.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <algorithm>
#include <benchmark/benchmark.h>
#include <cstdio>
#include <functional>
#include <optional>
#include <sys/stat.h>

namespace
{

CacheLocation gLocation;

QStringList cacheFiles()
{
    QStringList files;
    QDirIterator it(gLocation.folder, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << it.next();
    return files;
}

bool keepsOneFilePerEntry()
{
    return gLocation.kind == CacheLocation::Kind::ChromiumSimple || gLocation.kind == CacheLocation::Kind::Firefox;
}

// Reads the first `bytesEach` bytes of each file, or all of each with a negative `bytesEach`.
qint64 readEach(const QStringList& files, qint64 bytesEach)
{
    qint64 bytes = 0;
    for (const QString& path : files) {
        QFile file(path);
        if (file.open(QIODevice::ReadOnly))
            bytes += (bytesEach < 0 ? file.readAll() : file.read(bytesEach)).size();
    }
    return bytes;
}

void ReadFileHeads(benchmark::State& state)
{
    if (!keepsOneFilePerEntry()) {
        state.SkipWithError("this cache keeps its records in shared files: see ReadFormatFiles");
        return;
    }
    const QStringList files = cacheFiles();
    for (auto _ : state)
        benchmark::DoNotOptimize(readEach(files, 4096));
    state.counters["files"] = static_cast<double>(files.size());
}

// The files a walk of a blockfile or index.dat cache reads from.
QStringList formatFiles()
{
    const QDir folder(gLocation.folder);
    if (gLocation.kind == CacheLocation::Kind::IndexDat)
        return {folder.filePath(QStringLiteral("index.dat"))};
    QStringList files{folder.filePath(QStringLiteral("index"))};
    for (const QString& name : folder.entryList({QStringLiteral("data_*")}, QDir::Files, QDir::Name))
        files << folder.filePath(name);
    return files;
}

// The body files of an index.dat cache, whose status a walk takes.
QList<QByteArray> bodyFiles()
{
    QList<QByteArray> files;
    if (gLocation.kind != CacheLocation::Kind::IndexDat)
        return files;
    for (const QString& path : cacheFiles()) {
        if (QFileInfo(path).fileName() != QLatin1String("index.dat"))
            files << QFile::encodeName(path);
    }
    return files;
}

void ReadFormatFiles(benchmark::State& state)
{
    if (keepsOneFilePerEntry()) {
        state.SkipWithError("this cache keeps a file per entry: see ReadFileHeads");
        return;
    }
    const QStringList files = formatFiles();
    const QList<QByteArray> statusOnly = bodyFiles();
    qint64 bytes = 0;
    for (auto _ : state) {
        bytes = readEach(files, -1);
        for (const QByteArray& path : statusOnly) {
            struct stat status;
            bytes += ::lstat(path.constData(), &status) == 0 ? 1 : 0;
        }
        benchmark::DoNotOptimize(bytes);
    }
    state.counters["bytes"] = static_cast<double>(bytes);
}

// Walks the cache once an iteration, handing each entry to `visit`, with a fresh scratch folder for each
// walk as each run of the program has; making and removing it is the program's start and end, not the walk.
qint64 walkEachIteration(benchmark::State& state, const std::function<void(const CacheEntry&)>& visit)
{
    qint64 entries = 0;
    std::optional<ExtractionFolder> extraction;
    for (auto _ : state) {
        state.PauseTiming();
        extraction.reset();
        extraction.emplace();
        state.ResumeTiming();
        const std::unique_ptr<UrlCache> cache = CacheDetector::open(gLocation, *extraction);
        const std::unique_ptr<CacheEnumeration> walk = cache->enumerate();
        entries = 0;
        while (const std::optional<CacheEntry> entry = walk->next()) {
            ++entries;
            visit(*entry);
        }
    }
    return entries;
}

void Enumerate(benchmark::State& state)
{
    qint64 total = 0;
    const qint64 entries = walkEachIteration(state, [&total](const CacheEntry& entry) {
        total += entry.size + entry.url.size() + entry.lastAccess.toSecsSinceEpoch();
    });
    benchmark::DoNotOptimize(total);
    state.counters["entries"] = static_cast<double>(entries);
}

// Where each body lies, learnt once outside the timing: the floors are the reading, decoding and writing.
std::vector<StoredBody> storedBodies()
{
    std::vector<StoredBody> bodies;
    ExtractionFolder extraction;
    const std::unique_ptr<UrlCache> cache = CacheDetector::open(gLocation, extraction);
    const std::unique_ptr<CacheEnumeration> walk = cache->enumerate();
    while (const std::optional<CacheEntry> entry = walk->next())
        bodies.push_back(entry->body);
    return bodies;
}

void ReadDecodeAndMaybeWrite(benchmark::State& state, bool write)
{
    const std::vector<StoredBody> bodies = storedBodies();
    const QStringList files = cacheFiles();
    std::optional<QTemporaryDir> output;
    for (auto _ : state) {
        state.PauseTiming();
        output.reset();
        output.emplace();
        state.ResumeTiming();
        qint64 bytes = readEach(files, -1);
        int written = 0;
        for (const StoredBody& body : bodies) {
            QByteArray stored;
            for (const StoredBody::Piece& piece : body.allPieces()) {
                QFile file(piece.file);
                if (file.open(QIODevice::ReadOnly) && file.seek(piece.offset))
                    stored += file.read(piece.length);
            }
            const QByteArray decoded = ContentDecoder::decode(stored, body.contentEncoding).value_or(stored);
            bytes += decoded.size();
            if (write) {
                QFile out(output->filePath(QString::number(++written)));
                if (out.open(QIODevice::WriteOnly))
                    out.write(decoded);
            }
        }
        benchmark::DoNotOptimize(bytes);
    }
}

void ReadAndDecode(benchmark::State& state)
{
    ReadDecodeAndMaybeWrite(state, false);
}

void ReadDecodeWrite(benchmark::State& state)
{
    ReadDecodeAndMaybeWrite(state, true);
}

void Extract(benchmark::State& state)
{
    qint64 extracted = 0;
    walkEachIteration(state, [&extracted](const CacheEntry& entry) { extracted += entry.materialize() ? 1 : 0; });
    state.counters["extracted"] = static_cast<double>(extracted / std::max<qint64>(1, state.iterations()));
}

} // namespace

BENCHMARK(ReadFileHeads)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(ReadFormatFiles)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Enumerate)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(ReadAndDecode)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(ReadDecodeWrite)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Extract)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: cache_benchmark [benchmark options] CACHE_FOLDER\n");
        return 2;
    }
    gLocation = CacheDetector::recognise(QString::fromLocal8Bit(argv[1]));
    ExtractionFolder probe;
    if (!CacheDetector::open(gLocation, probe)) {
        std::fprintf(stderr, "cache_benchmark: %s is not a cache this program reads\n", argv[1]);
        return 2;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
