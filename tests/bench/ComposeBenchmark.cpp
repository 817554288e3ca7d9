// Speed of composing one page's archive into a file, beside the floor it is measured against:
//
//   WriteFloor  writing as many bytes as the archive has to a file with plain write() calls of 256 KiB
//   ReadEncodeWriteFloor
//               the work composing cannot skip: reading each resource's file whole with plain POSIX calls,
//               base64-encoding it with the composer's encoder and writing the text out as WriteFloor does
//   Compose     composing the archive of a page with 300 resource references (one a 5 MB picture, the
//               others pictures, style sheets and scripts of a few KB) whose bodies are read from real
//               files, into a file through the copy worker's FileSink
//
// Both open, write and close one file in $TMPDIR (else /tmp) per iteration; the resources live there too.
// Each reports MB/s of archive written; at the end the time of Compose over that of WriteFloor is
// printed, the overhead composing adds to writing the bytes out, and over that of ReadEncodeWriteFloor.
//
// Usage: compose_benchmark [benchmark options]

#include "engine/FileSink.h"
#include "engine/MapCache.h"
#include "engine/MhtmlComposer.h"
#include "engine/MimeEncoding.h"

#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include <cstdio>
#include <fcntl.h>
#include <map>
#include <random>
#include <sys/stat.h>
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
    if (reporter.times.count("Compose") && reporter.times.count("WriteFloor")) {
        const RatioReporter::Times compose = reporter.times["Compose"];
        const RatioReporter::Times floor = reporter.times["WriteFloor"];
        std::printf("Compose / WriteFloor: %.2fx real time, %.2fx CPU time\n", compose.real / floor.real,
                    compose.cpu / floor.cpu);
    }
    if (reporter.times.count("Compose") && reporter.times.count("ReadEncodeWriteFloor")) {
        const RatioReporter::Times compose = reporter.times["Compose"];
        const RatioReporter::Times floor = reporter.times["ReadEncodeWriteFloor"];
        std::printf("Compose / ReadEncodeWriteFloor: %.2fx real time, %.2fx CPU time\n", compose.real / floor.real,
                    compose.cpu / floor.cpu);
    }
    benchmark::Shutdown();
    return 0;
}
