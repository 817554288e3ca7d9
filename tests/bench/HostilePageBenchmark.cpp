// What a hostile page costs what reads it: each shape of HostilePages made at the page cap (the largest page a
// harvest reads, PlanMatcher::kMaxPageSize) and read as the harvest reads it:
//
//   Parse/<shape>    PageModel::parse on the page: the tokenizer, the sheet scanner on its style blocks and
//                    attributes, the line-by-line src= walk, its title and character set
//   CssFind/<shape>  CssReferenceFinder::find on the page's text taken as a whole style sheet, as the
//                    composer reads a linked sheet
//   Match/<shape>    PlanMatcher::PlanMatches with a plan for a title and a text, on the page as a cache entry
//   Compose/<shape>  MhtmlComposer::compose of the parsed page, its archive thrown away, none of its
//                    references cached
//   StopWhileHarvesting/<ms>  a run, as the window makes it, of a plan for pages holding "<img" over a cache of
//                    every shape, stopped after <ms> as closing the window stops it: the time the stop takes
//
// Each reports its time and, as the counter extra_MiB, the most memory the process held at once during
// the call beyond what it held before it (the peak resident set, reset before each call), and the
// references found.
//
// Usage: hostile_page_benchmark [benchmark options] [page size in bytes, the page cap by default]

#include "StoppedHarvest.h"
#include "engine/archive/CssReferenceFinder.h"
#include "engine/archive/HostilePages.h"
#include "engine/archive/MhtmlComposer.h"
#include "engine/archive/PageModel.h"
#include "engine/cache/ByteSink.h"
#include "engine/cache/MapCache.h"
#include "engine/run/PlanMatcher.h"
#include "plans/StrucRec.h"

#include <QTemporaryDir>

#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <string>

namespace
{

qsizetype pageSize = PlanMatcher::kMaxPageSize;

// A "Vm...:" figure of /proc/self/status, in KiB; 0 where there is none.
long statusKiB(const char* field)
{
    FILE* status = std::fopen("/proc/self/status", "r");
    if (!status)
        return 0;
    char line[256];
    long kib = 0;
    while (std::fgets(line, sizeof line, status)) {
        if (std::strncmp(line, field, std::strlen(field)) == 0) {
            kib = std::strtol(line + std::strlen(field), nullptr, 10);
            break;
        }
    }
    std::fclose(status);
    return kib;
}

// Runs `read` once per iteration and reports the most extra memory any call took.
template <typename Read>
void measure(benchmark::State& state, Read read)
{
    long extraKiB = 0;
    qsizetype found = 0;
    for (auto _ : state) {
        // Free memory goes back to the system first, so that the call cannot reuse it unseen; then "5"
        // resets the peak resident set to what is resident now.
        malloc_trim(0);
        if (FILE* clear = std::fopen("/proc/self/clear_refs", "w")) {
            std::fputs("5", clear);
            std::fclose(clear);
        }
        const long before = statusKiB("VmRSS:");
        found = read();
        extraKiB = std::max(extraKiB, statusKiB("VmHWM:") - before);
    }
    state.counters["extra_MiB"] = double(extraKiB) / 1024;
    state.counters["found"] = double(found);
}

void parse(benchmark::State& state, const HostilePages::Shape* shape)
{
    const QByteArray page = shape->make(pageSize);
    measure(state, [&] {
        const PageModel model = PageModel::parse(QStringLiteral("http://bench.example/dir/page.html"), page);
        return model.references().size();
    });
    state.SetBytesProcessed(state.iterations() * page.size());
}

void findCss(benchmark::State& state, const HostilePages::Shape* shape)
{
    const QString sheet = QString::fromUtf8(shape->make(pageSize));
    measure(state, [&] { return CssReferenceFinder::find(sheet).size(); });
    state.SetBytesProcessed(state.iterations() * sheet.size() * 2);
}

void match(benchmark::State& state, const HostilePages::Shape* shape)
{
    QTemporaryDir dir;
    MapCache cache(dir.path());
    const QByteArray page = shape->make(pageSize);
    cache.add(QStringLiteral("http://bench.example/dir/page.html"), QStringLiteral("page.html"), page);
    const CacheEntry entry = *cache.lookup(QStringLiteral("http://bench.example/dir/page.html"));
    StrucRec plan;
    plan.ztype = 0;
    plan.tilStr = QStringLiteral("标题");
    plan.conStr = QStringLiteral("正文");
    measure(state, [&] { return qsizetype(PlanMatcher::PlanMatches(plan, entry)); });
    state.SetBytesProcessed(state.iterations() * page.size());
}

void compose(benchmark::State& state, const HostilePages::Shape* shape)
{
    class Discarding final : public ByteSink
    {
    public:
        bool write(QByteArrayView) override { return true; }
    };
    QTemporaryDir dir;
    MapCache cache(dir.path());
    const MhtmlComposer composer(cache);
    const PageModel model =
        PageModel::parse(QStringLiteral("http://bench.example/dir/page.html"), shape->make(pageSize));
    measure(state, [&] {
        Discarding out;
        MhtmlComposer::Report report;
        composer.compose(model, QDate(2024, 1, 1), out, &report);
        return qsizetype(report.references);
    });
    state.SetBytesProcessed(state.iterations() * model.bytes().size());
}

void stopWhileHarvesting(benchmark::State& state)
{
    // Made once: every shape at the page size is a few GB to write.
    static QTemporaryDir dir;
    static const std::shared_ptr<MapCache> cache = [] {
        auto made = std::make_shared<MapCache>(dir.path());
        int n = 0;
        for (const HostilePages::Shape& shape : HostilePages::kShapes) {
            const QString name = QStringLiteral("hostile-%1.html").arg(++n);
            made->add("http://bench.example/" + name, name, shape.make(pageSize), QStringLiteral("text/html"));
        }
        return made;
    }();
    std::optional<QTemporaryDir> output;
    StoppedHarvest::measure(
        state, [] { return std::shared_ptr<UrlCache>(cache); },
        [&] {
            output.reset();
            output.emplace();
            StrucRec plan;
            plan.name = QStringLiteral("pages");
            plan.ztype = 0;
            plan.tpname = QStringLiteral("*.htm(html)");
            // Read whole by the scanner, as every page's text is; nearly every shape has one.
            plan.conStr = QStringLiteral("<img");
            plan.savpath = output->path();
            return tScanBuf::RunPlanList{plan};
        });
}

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (argc > 1)
        pageSize = std::stoll(argv[1]);
    for (const HostilePages::Shape& shape : HostilePages::kShapes) {
        benchmark::RegisterBenchmark((std::string("Parse/") + shape.name).c_str(), parse, &shape)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((std::string("CssFind/") + shape.name).c_str(), findCss, &shape)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((std::string("Match/") + shape.name).c_str(), match, &shape)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((std::string("Compose/") + shape.name).c_str(), compose, &shape)
            ->Unit(benchmark::kMillisecond);
    }
    benchmark::RegisterBenchmark("StopWhileHarvesting", stopWhileHarvesting)->Apply(StoppedHarvest::configure);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
