// Speed of composing one page's archive into a file, beside the floor it is measured against:
//
//   WriteFloor  writing as many bytes as the archive has to a file with plain write() calls of 256 KiB
//   ReadEncodeWriteFloor
//               the work composing cannot skip: reading each resource's file whole with plain POSIX calls,
//               base64-encoding it with the composer's encoder and writing the text out as WriteFloor does
//   WriteBehindFloor
//               ReadEncodeWriteFloor with the writes on a second thread, so that reading and encoding
//               overlap writing (blocks of 256 KiB, four at most waiting)
//   TwoThreadFloor
//               ReadEncodeWriteFloor's work cut in two halves at whole base64 lines, each read, encoded and
//               written at its own offset of the one file by its own thread, with no waiting between them
//   Compose     composing the archive of a page with 300 resource references (one a 5 MB picture, the
//               others pictures, style sheets and scripts of a few KB) whose bodies are read from real
//               files, into a file through the copy worker's FileSink
//
// The two-thread floors bound what composing one archive on two cores could reach: the copy worker
// already composes several pages at once, one per thread, so a single archive gets one core.
//
// All open, write and close one file in $TMPDIR (else /tmp) per iteration; the resources live there too.
// Each reports MB/s of archive written; at the end the time of Compose over that of WriteFloor is
// printed, the overhead composing adds to writing the bytes out, and over that of ReadEncodeWriteFloor,
// then those of the two-thread floors over WriteFloor.
//
// Usage: compose_benchmark [benchmark options]

#include "engine/archive/MhtmlComposer.h"
#include "engine/archive/MimeEncoding.h"
#include "engine/cache/MapCache.h"
#include "engine/save/FileSink.h"

#include <QTemporaryDir>
#include <array>
#include <benchmark/benchmark.h>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace
{

const QString kPageUrl = QStringLiteral("http://bench.example/news/today.html");
const QDate kToday(2024, 3, 5);

// The page, its resources in a cache of plain files, and the size of its archive.
struct Fixture
{
    Fixture()
    {
        std::mt19937 random(5);
        const auto bytes = [&](qsizetype size) {
            QByteArray data(size, Qt::Uninitialized);
            for (char& c : data)
                c = static_cast<char>(random());
            return data;
        };
        const auto text = [&](qsizetype size) {
            const QByteArray line = "  .item-list > li a:hover { color: #3366cc; margin: 0 4px; } /* = */\n";
            return line.repeated(size / line.size() + 1).left(size);
        };
        pageLines << "<html><head><title>Today</title>"
                  << R"(<meta http-equiv="Content-Type" content="text/html; charset=utf-8">)";
        const auto add = [&](const QString& url, const QString& fileName, const QByteArray& body) {
            cache.add(url, fileName, body);
            resourceFiles << QFile::encodeName(folder.filePath(fileName));
        };
        add("http://bench.example/news/photo.jpg", "photo[1].jpg", bytes(5 << 20));
        pageLines << R"(<body><p>Top story</p><img src="photo.jpg" alt="">)";
        for (int i = 1; i < 300; ++i) {
            const QString name = QString::number(i);
            switch (i % 3) {
            case 0:
                add("http://bench.example/img/p" + name + ".png", "p" + name + "[1].png", bytes(3000 + i * 20));
                pageLines << QByteArray(R"(<p>Item </p><img src="../img/p)") + name.toLatin1() + ".png\">";
                break;
            case 1:
                add("http://bench.example/css/s" + name + ".css", "s" + name + "[1].css", text(2000 + i * 10));
                pageLines << QByteArray(R"(<link rel="stylesheet" href="/css/s)") + name.toLatin1() + ".css\">";
                break;
            default:
                add("http://bench.example/js/m" + name + ".js", "m" + name + "[1].js", text(5000 + i * 10));
                pageLines << QByteArray(R"(<script src="/js/m)") + name.toLatin1() + ".js\"></script>";
                break;
            }
        }
        pageLines << "</body></html>";
        archiveSize = composer.compose(kPageUrl, pageLines, kToday).size();
    }

    QTemporaryDir folder;
    MapCache cache{folder.path()};
    const MhtmlComposer composer{cache};
    QByteArrayList pageLines;
    QByteArrayList resourceFiles; // in the order the archive holds them
    qsizetype archiveSize = 0;
};

// Made before the benchmarks run (see main), so that no benchmark's time holds its making.
Fixture& fixture()
{
    static Fixture made;
    return made;
}

int createOutput(const QString& name)
{
    return ::open(QFile::encodeName(fixture().folder.filePath(name)).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
}

void reportBytes(benchmark::State& state)
{
    state.SetBytesProcessed(state.iterations() * fixture().archiveSize);
    state.counters["archive MB"] = static_cast<double>(fixture().archiveSize) / 1e6;
}

void WriteFloor(benchmark::State& state)
{
    const QByteArray block(256 << 10, 'x');
    for (auto _ : state) {
        const int fd = createOutput("floor.mht");
        for (qsizetype left = fixture().archiveSize; left > 0;) {
            const ssize_t written = ::write(fd, block.constData(), static_cast<size_t>(std::min(left, block.size())));
            if (written <= 0) {
                state.SkipWithError("write failed");
                break;
            }
            left -= written;
        }
        ::close(fd);
    }
    reportBytes(state);
}

void ReadEncodeWriteFloor(benchmark::State& state)
{
    const std::atomic<bool> never{false};
    QByteArray contents;
    for (auto _ : state) {
        const int fd = createOutput("floor-encoded.mht");
        FileSink out(fd, never);
        for (const QByteArray& path : fixture().resourceFiles) {
            const int in = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
            struct stat status;
            if (in < 0 || ::fstat(in, &status) != 0) {
                state.SkipWithError("cannot read a resource");
                break;
            }
            contents.resize(status.st_size);
            const bool read = ::read(in, contents.data(), size_t(contents.size())) == contents.size();
            ::close(in);
            MimeEncoding::Base64Writer encoder(out);
            if (!read || !encoder.write(contents) || !encoder.finish()) {
                state.SkipWithError("read or write failed");
                break;
            }
        }
        out.flush();
        ::close(fd);
    }
    reportBytes(state);
}

// Writes what it is given at a running offset of a file with pwrite(), so that two threads can each write
// their own stretch of one file.
class OffsetSink final : public ByteSink
{
public:
    OffsetSink(int fd, off_t offset) : fd_(fd), offset_(offset) {}

    bool write(QByteArrayView bytes) override
    {
        const ssize_t written = ::pwrite(fd_, bytes.data(), size_t(bytes.size()), offset_);
        offset_ += written;
        return written == bytes.size();
    }

private:
    const int fd_;
    off_t offset_;
};

// One thread's share of TwoThreadFloor: a stretch of one resource's bytes and where its text goes.
struct Stretch
{
    QByteArray path;
    off_t from = 0;
    qsizetype size = 0;
    off_t to = 0;
};

// The resources' bytes cut into two shares of about equal size at whole base64 lines, each stretch with
// the offset of its text in the output.
std::array<std::vector<Stretch>, 2> twoShares()
{
    constexpr qsizetype kLineBytes = 57;
    const auto textSize = [](qsizetype size) {
        const qsizetype lines = size / kLineBytes;
        const qsizetype rest = size % kLineBytes;
        return lines * 78 + (rest ? (rest + 2) / 3 * 4 + 2 : 0);
    };
    std::vector<std::pair<QByteArray, qsizetype>> files;
    qsizetype total = 0;
    for (const QByteArray& path : fixture().resourceFiles) {
        struct stat status;
        ::stat(path.constData(), &status);
        files.emplace_back(path, status.st_size);
        total += status.st_size;
    }
    std::array<std::vector<Stretch>, 2> shares;
    qsizetype taken = 0;
    off_t to = 0;
    for (const auto& [path, size] : files) {
        qsizetype from = 0;
        while (from < size) {
            const int share = taken < total / 2 ? 0 : 1;
            qsizetype length = size - from;
            if (share == 0 && taken + length > total / 2)
                length = std::max<qsizetype>((total / 2 - taken) / kLineBytes * kLineBytes, kLineBytes);
            length = std::min(length, size - from);
            shares[share].push_back(Stretch{path, off_t(from), length, to});
            to += textSize(length);
            from += length;
            taken += length;
        }
    }
    return shares;
}

// ReadEncodeWriteFloor's work shared between two threads without waiting on each other: each reads its
// half of the bytes, encodes it and writes the text at its place in the one output file. No composer on
// two threads could do better; it bounds what two cores can give.
void TwoThreadFloor(benchmark::State& state)
{
    const std::array<std::vector<Stretch>, 2> shares = twoShares();
    const auto work = [](int fd, const std::vector<Stretch>& stretches) {
        QByteArray contents;
        for (const Stretch& stretch : stretches) {
            const int in = ::open(stretch.path.constData(), O_RDONLY | O_CLOEXEC);
            contents.resize(stretch.size);
            const bool read = ::pread(in, contents.data(), size_t(stretch.size), stretch.from) == stretch.size;
            ::close(in);
            OffsetSink at(fd, stretch.to);
            MimeEncoding::Base64Writer encoder(at);
            if (!read || !encoder.write(contents) || !encoder.finish())
                return false;
        }
        return true;
    };
    for (auto _ : state) {
        const int fd = createOutput("floor-two.mht");
        bool second = true;
        std::thread helper([&] { second = work(fd, shares[1]); });
        const bool first = work(fd, shares[0]);
        helper.join();
        if (!first || !second)
            state.SkipWithError("read or write failed");
        ::close(fd);
    }
    reportBytes(state);
}

// Hands blocks of encoded text to the thread that writes them, at most kDepth waiting.
class BlockQueue final : public ByteSink
{
public:
    static constexpr size_t kDepth = 4;
    static constexpr qsizetype kBlockSize = qsizetype(256) << 10;

    bool write(QByteArrayView bytes) override
    {
        building_.append(bytes);
        if (building_.size() >= kBlockSize)
            pass();
        return true;
    }

    void pass()
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return blocks_.size() < kDepth; });
        blocks_.push_back(std::move(building_));
        building_ = QByteArray();
        building_.reserve(kBlockSize + MimeEncoding::kBatchSize);
        changed_.notify_all();
    }

    void end()
    {
        pass();
        std::lock_guard lock(mutex_);
        ended_ = true;
        changed_.notify_all();
    }

    // The next block, or nothing once end() has been called and all are taken.
    std::optional<QByteArray> take()
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return !blocks_.empty() || ended_; });
        if (blocks_.empty())
            return std::nullopt;
        QByteArray block = std::move(blocks_.front());
        blocks_.pop_front();
        changed_.notify_all();
        return block;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<QByteArray> blocks_;
    QByteArray building_;
    bool ended_ = false;
};

// ReadEncodeWriteFloor with its writes on a second thread: one thread reads and encodes, the other writes
// what it has encoded, so that the two overlap.
void WriteBehindFloor(benchmark::State& state)
{
    QByteArray contents;
    for (auto _ : state) {
        const int fd = createOutput("floor-behind.mht");
        BlockQueue queue;
        bool writes = true;
        std::thread writer([&] {
            while (const std::optional<QByteArray> block = queue.take())
                writes = writes && ::write(fd, block->constData(), size_t(block->size())) == block->size();
        });
        for (const QByteArray& path : fixture().resourceFiles) {
            const int in = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
            struct stat status;
            ::fstat(in, &status);
            contents.resize(status.st_size);
            const bool read = ::read(in, contents.data(), size_t(contents.size())) == contents.size();
            ::close(in);
            MimeEncoding::Base64Writer encoder(queue);
            if (!read || !encoder.write(contents) || !encoder.finish())
                state.SkipWithError("read failed");
        }
        queue.end();
        writer.join();
        if (!writes)
            state.SkipWithError("write failed");
        ::close(fd);
    }
    reportBytes(state);
}

void Compose(benchmark::State& state)
{
    const std::atomic<bool> never{false};
    for (auto _ : state) {
        const int fd = createOutput("composed.mht");
        FileSink out(fd, never);
        if (!fixture().composer.compose(kPageUrl, fixture().pageLines, kToday, out) || !out.flush())
            state.SkipWithError("compose failed");
        ::close(fd);
        fixture().cache.lookups.clear();
    }
    reportBytes(state);
}

BENCHMARK(WriteFloor)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(ReadEncodeWriteFloor)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(TwoThreadFloor)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(WriteBehindFloor)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Compose)->Unit(benchmark::kMillisecond)->UseRealTime();

// Remembers each benchmark's times per iteration, for the ratios.
class RatioReporter : public benchmark::ConsoleReporter
{
public:
    struct Times
    {
        double real = 0;
        double cpu = 0;
    };

    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration && run.iterations > 0) {
                const auto iterations = static_cast<double>(run.iterations);
                times[run.run_name.function_name] = {run.real_accumulated_time / iterations,
                                                     run.cpu_accumulated_time / iterations};
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    std::map<std::string, Times> times;
};

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    fixture();
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    // The CPU times tell what composing costs when other work shares the machine and the real times wander.
    const auto ratio = [&](const char* over, const char* under) {
        if (!reporter.times.count(over) || !reporter.times.count(under))
            return;
        const RatioReporter::Times top = reporter.times[over];
        const RatioReporter::Times bottom = reporter.times[under];
        std::printf("%s / %s: %.2fx real time, %.2fx CPU time\n", over, under, top.real / bottom.real,
                    top.cpu / bottom.cpu);
    };
    ratio("Compose", "WriteFloor");
    ratio("Compose", "ReadEncodeWriteFloor");
    // What two cores could give at best, over the bare writes.
    ratio("WriteBehindFloor", "WriteFloor");
    ratio("TwoThreadFloor", "WriteFloor");
    benchmark::Shutdown();
    return 0;
}
