// Speed of the cache readers on a real cache, each beside the floor it is measured against:
//
//   ReadFileHeads     reading the first 4 KB of every file in the cache folder with plain POSIX calls
//                     (open, read, close): the floor of a walk for the formats that keep one file per
//                     entry (Chromium simple cache, Firefox cache2, a profile's service-worker caches)
//   ReadFormatFiles   reading whole the files that hold every entry's records: the floor of a walk for
//                     the formats that share a few files among all entries (a blockfile cache's index and
//                     data_<n> files; an index.dat file, with the status of every body file beside it,
//                     which a walk checks against the record)
//   ReadRecordHeadsAndTails
//                     the first and the last 4 KB of every record file of a WebKit cache, read with plain
//                     POSIX calls (open, status, read, read, close): the floor of a walk of that format,
//                     whose records hold the key and response first and an inline body last
//   Enumerate         walking every entry: URL, size and last-access time
//   ReadAndInflateFloor
//                     reading whole, with plain POSIX calls, every file that holds a body, and inflating
//                     the gzip bodies in it with zlib: the floor of extracting every body
//   ExtractEveryBody  walking every entry and streaming every body out of the cache's files, decoded,
//                     into a sink that keeps nothing: what saving them costs short of the writing
//   StreamWalkedBodies
//                     the streaming alone, the walk done beforehand: each file read once, as in the floor
//
// Usage: cache_benchmark [benchmark options] CACHE_FOLDER
// tools/make-large-cache.py makes a large Chromium cache to point it at,
// tools/make-service-worker-fixture.py --bulk N a large set of service-worker caches (point it at their
// CacheStorage folder), and tools/make-large-webkit-cache.py a large WebKit one.

#include "engine/cache/ByteSink.h"
#include "engine/cache/CacheDetector.h"
#include "engine/cache/EntryBody.h"
#include "engine/cache/UrlCache.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <algorithm>
#include <benchmark/benchmark.h>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

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
    return gLocation.kind == CacheLocation::Kind::ChromiumSimple || gLocation.kind == CacheLocation::Kind::Firefox ||
           gLocation.kind == CacheLocation::Kind::ChromiumCacheStorage;
}

// Reads each file whole with plain POSIX calls; the bytes read.
qint64 readEach(const QStringList& files)
{
    qint64 bytes = 0;
    std::vector<char> contents;
    for (const QString& path : files) {
        const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            continue;
        struct stat status;
        if (::fstat(fd, &status) == 0) {
            contents.resize(size_t(status.st_size));
            bytes += std::max<ssize_t>(0, ::read(fd, contents.data(), contents.size()));
        }
        ::close(fd);
    }
    return bytes;
}

// How much of each file a floor reads.
enum class Edges
{
    Head,        // its first 4 KB
    HeadAndTail, // its first and, past 4 KB, its last 4 KB, after taking its status
};

// Reads `edges` of each of `files` with plain POSIX calls, once an iteration.
void readEdgesEachIteration(benchmark::State& state, const QList<QByteArray>& files, Edges edges)
{
    constexpr qint64 kEdge = 4096;
    char edge[kEdge];
    for (auto _ : state) {
        qint64 bytes = 0;
        for (const QByteArray& path : files) {
            const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
            if (fd < 0)
                continue;
            struct stat status;
            if (edges == Edges::Head) {
                bytes += ::read(fd, edge, kEdge);
            } else if (::fstat(fd, &status) == 0) {
                bytes += ::pread(fd, edge, kEdge, 0);
                if (status.st_size > kEdge)
                    bytes += ::pread(fd, edge, kEdge, status.st_size - kEdge);
            }
            ::close(fd);
        }
        benchmark::DoNotOptimize(bytes);
    }
    state.counters["files"] = static_cast<double>(files.size());
}

void ReadFileHeads(benchmark::State& state)
{
    if (!keepsOneFilePerEntry()) {
        state.SkipWithError("this cache keeps no plain file per entry: see ReadFormatFiles, ReadRecordHeadsAndTails");
        return;
    }
    QList<QByteArray> files;
    for (const QString& path : cacheFiles())
        files << QFile::encodeName(path);
    readEdgesEachIteration(state, files, Edges::Head);
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
    if (keepsOneFilePerEntry() || gLocation.kind == CacheLocation::Kind::WebKit) {
        state.SkipWithError("this cache keeps a file per entry: see ReadFileHeads");
        return;
    }
    const QStringList files = formatFiles();
    const QList<QByteArray> statusOnly = bodyFiles();
    qint64 bytes = 0;
    for (auto _ : state) {
        bytes = readEach(files);
        for (const QByteArray& path : statusOnly) {
            struct stat status;
            bytes += ::lstat(path.constData(), &status) == 0 ? 1 : 0;
        }
        benchmark::DoNotOptimize(bytes);
    }
    state.counters["bytes"] = static_cast<double>(bytes);
}

// The record files of a WebKit cache: not their blobs, nor the files of Blobs/ those link to.
QList<QByteArray> webKitRecordFiles()
{
    QList<QByteArray> files;
    for (const QString& path : cacheFiles()) {
        const QFileInfo file(path);
        if (file.dir().dirName() == QLatin1String("Resource") && !file.fileName().endsWith(QLatin1String("-blob")))
            files << QFile::encodeName(path);
    }
    return files;
}

void ReadRecordHeadsAndTails(benchmark::State& state)
{
    if (gLocation.kind != CacheLocation::Kind::WebKit) {
        state.SkipWithError("not a WebKit cache");
        return;
    }
    readEdgesEachIteration(state, webKitRecordFiles(), Edges::HeadAndTail);
}

// Walks the cache once an iteration, handing each entry to `visit`, as each run of the program does.
qint64 walkEachIteration(benchmark::State& state, const std::function<void(const CacheEntry&)>& visit)
{
    qint64 entries = 0;
    for (auto _ : state) {
        const std::unique_ptr<UrlCache> cache = CacheDetector::open(gLocation);
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

// Takes every byte and keeps none, as a save that writes nowhere.
class DiscardingSink final : public ByteSink
{
public:
    bool write(QByteArrayView bytes) override
    {
        bytes_ += bytes.size();
        return true;
    }

    qint64 bytes() const { return bytes_; }

private:
    qint64 bytes_ = 0;
};

void ExtractEveryBody(benchmark::State& state)
{
    DiscardingSink sink;
    qint64 refused = 0;
    const qint64 entries = walkEachIteration(state, [&](const CacheEntry& entry) {
        if (EntryBody::stream(entry.body, sink) != EntryBody::Refusal::None)
            ++refused;
    });
    state.counters["entries"] = static_cast<double>(entries);
    state.counters["refused"] = static_cast<double>(refused / std::max<qint64>(1, state.iterations()));
    state.counters["MB"] = static_cast<double>(sink.bytes() / std::max<qint64>(1, state.iterations())) / 1e6;
}

// The same streaming with the walk done once outside the timing: what reading the bodies costs beside
// the floor, which reads each file once as well.
void StreamWalkedBodies(benchmark::State& state)
{
    std::vector<StoredBody> bodies;
    const std::unique_ptr<UrlCache> cache = CacheDetector::open(gLocation);
    const std::unique_ptr<CacheEnumeration> walk = cache->enumerate();
    while (const std::optional<CacheEntry> entry = walk->next())
        bodies.push_back(entry->body);
    DiscardingSink sink;
    for (auto _ : state) {
        for (const StoredBody& body : bodies)
            EntryBody::stream(body, sink);
    }
    state.counters["MB"] = static_cast<double>(sink.bytes() / std::max<qint64>(1, state.iterations())) / 1e6;
}

// The files that hold bodies, each with the gzip-encoded bodies in it, learnt once outside the timing.
struct BodyFile
{
    QByteArray path;
    std::vector<std::pair<qint64, qint64>> gzipRanges; // offset and length
};

std::vector<BodyFile> bodyFilesWithGzipRanges()
{
    std::vector<BodyFile> files;
    QHash<QString, size_t> indexOf;
    const std::unique_ptr<UrlCache> cache = CacheDetector::open(gLocation);
    const std::unique_ptr<CacheEnumeration> walk = cache->enumerate();
    while (const std::optional<CacheEntry> entry = walk->next()) {
        for (const StoredBody::Piece& piece : entry->body.allPieces()) {
            auto found = indexOf.constFind(piece.file);
            if (found == indexOf.constEnd()) {
                found = indexOf.insert(piece.file, files.size());
                files.push_back(BodyFile{QFile::encodeName(piece.file), {}});
            }
            if (entry->body.contentEncoding == QLatin1String("gzip"))
                files[*found].gzipRanges.emplace_back(piece.offset, piece.length);
        }
    }
    return files;
}

// Inflates a gzip body into a scratch buffer; the decoded size.
qint64 inflateInto(const char* stored, qint64 length, std::vector<char>& scratch)
{
    z_stream stream{};
    if (inflateInit2(&stream, 16 + MAX_WBITS) != Z_OK)
        return 0;
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(stored));
    stream.avail_in = uInt(length);
    qint64 decoded = 0;
    int rc = Z_OK;
    do {
        stream.next_out = reinterpret_cast<Bytef*>(scratch.data());
        stream.avail_out = uInt(scratch.size());
        rc = inflate(&stream, Z_NO_FLUSH);
        decoded += qint64(scratch.size()) - stream.avail_out;
    } while (rc == Z_OK);
    inflateEnd(&stream);
    return decoded;
}

// The floor of extracting: every file that holds a body read whole with plain POSIX calls, and the gzip
// bodies in it inflated with zlib into a scratch buffer.
void ReadAndInflateFloor(benchmark::State& state)
{
    const std::vector<BodyFile> files = bodyFilesWithGzipRanges();
    std::vector<char> contents;
    std::vector<char> scratch(64 * 1024);
    qint64 bytes = 0;
    for (auto _ : state) {
        bytes = 0;
        for (const BodyFile& file : files) {
            const int fd = ::open(file.path.constData(), O_RDONLY | O_CLOEXEC);
            if (fd < 0)
                continue;
            struct stat status;
            if (::fstat(fd, &status) == 0) {
                contents.resize(size_t(status.st_size));
                const ssize_t got = ::read(fd, contents.data(), contents.size());
                bytes += got;
                for (const auto& [offset, length] : file.gzipRanges) {
                    if (got >= 0 && offset + length <= got)
                        bytes += inflateInto(contents.data() + offset, length, scratch);
                }
            }
            ::close(fd);
        }
        benchmark::DoNotOptimize(bytes);
    }
    state.counters["files"] = static_cast<double>(files.size());
    state.counters["MB"] = static_cast<double>(bytes) / 1e6;
}

} // namespace

BENCHMARK(ReadFileHeads)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(ReadFormatFiles)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(ReadRecordHeadsAndTails)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Enumerate)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(ReadAndInflateFloor)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(ExtractEveryBody)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(StreamWalkedBodies)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: cache_benchmark [benchmark options] CACHE_FOLDER\n");
        return 2;
    }
    gLocation = CacheDetector::recognise(QString::fromLocal8Bit(argv[1]));
    if (!CacheDetector::open(gLocation)) {
        std::fprintf(stderr, "cache_benchmark: %s is not a cache this program reads\n", argv[1]);
        return 2;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
