// What keeping costs over time, with a real keeper and copy worker in the process:
//
//   churn  A day of browsing replayed fast in a simple-cache folder under $TMPDIR (else /tmp): it starts
//          with WARM entries, then each "hour" PER_HOUR entry files are written (copied from SOURCE, each
//          URL in turn, every tenth write a rewrite of an entry still there with the same bytes), and the
//          oldest are deleted so that the folder holds WARM entries at most, as a browser evicts. One
//          resource plan saves everything. After each hour the benchmark waits until the copy worker has
//          carried out every match, then reads the process's peak resident memory (VmHWM) and its
//          current one (VmRSS). Reported: both after the first hour and after the last, and the growth of
//          the peak between them. Target: at most 5 %: what the keeper remembers of an entry goes with
//          its file.
//   idle   The keeper watching SOURCE itself with one plan that matches nothing, after its first pass:
//          the process's CPU time (user and system, getrusage) over IDLE seconds of nothing happening, as %
//          of one core. Target: at most 0.5 %. The copy worker's idle wake-ups count too.
//
// Usage: keeper_benchmark [--short] SOURCE
// SOURCE is a simple-cache folder: tools/make-large-cache.py makes a large one (20 000 entries) to point it
// at. The full run: 24 hours of 400 writes over 2000 warm entries, idle for 60 s. --short is the bench
// label's one quick pass: 3 hours of 20 writes over 20 entries, idle for 1 s.

#include "engine/cache/SimpleCache.h"
#include "engine/cache/SimpleCacheFolder.h"
#include "engine/keep/CacheKeeper.h"
#include "engine/keep/KeepObserver.h"
#include "engine/run/CopyQueue.h"
#include "engine/run/thCpy.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTextStream>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <mutex>
#include <sys/resource.h>
#include <thread>

using namespace std::chrono_literals;

namespace
{

struct Settings
{
    int hours = 24;
    int perHour = 400;
    int warm = 2000;
    int idleSeconds = 60;
};

// Counts what the keeper reports, keeping nothing else: the benchmark measures the keeper, not a list.
class CountingObserver : public KeepObserver
{
public:
    void keepingStarted(const QStringList&, const QStringList& notKept) override
    {
        for (const QString& reason : notKept)
            std::fprintf(stderr, "not kept: %s\n", qPrintable(reason));
    }
    void notice(const QString& text) override { std::fprintf(stderr, "notice: %s\n", qPrintable(text)); }
    void resultRow(const ResultRow&) override {}
    void totalsChanged(const KeepTotals& totals) override
    {
        {
            const std::lock_guard lock(mutex_);
            totals_ = totals;
        }
        changed_.notify_all();
    }
    void keepingEnded(const KeepTotals& totals) override { totalsChanged(totals); }

    // Waits until every match so far was carried out (as far as `keeper` has matched); false after a minute.
    bool waitCaughtUp(const CacheKeeper& keeper)
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 60s, [&] {
            const HarvestRun::Totals& s = totals_.saves;
            return s.saved + s.alreadySaved + s.failed + s.changed >= keeper.totals().matched;
        });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    KeepTotals totals_;
};

// A field of /proc/self/status in KiB.
qint64 statusKiB(const char* field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(qstrlen(field)).trimmed().split(' ').front().toLongLong();
    }
    return -1;
}

double cpuSeconds()
{
    rusage usage = {};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

StrucRec everythingInto(const QString& folder)
{
    StrucRec plan;
    plan.name = QStringLiteral("everything");
    plan.ztype = 1;
    plan.savpath = folder;
    return plan;
}

// Waits while entries settle and batches come back, until the keeper has been still for a while.
void waitQuiet(const CacheKeeper& keeper, CountingObserver& observer)
{
    int matched = -1;
    while (matched != keeper.totals().matched) {
        matched = keeper.totals().matched;
        std::this_thread::sleep_for(300ms);
        if (!observer.waitCaughtUp(keeper))
            std::fprintf(stderr, "the copy worker did not catch up within a minute\n");
    }
}

int churn(const QString& source, const Settings& settings)
{
    const QStringList sourceFiles = SimpleCacheFolder(source).entryFileNames();
    if (sourceFiles.isEmpty()) {
        std::fprintf(stderr, "no entry files in %s\n", qPrintable(source));
        return 1;
    }
    QTemporaryDir place(QDir::tempPath() + QStringLiteral("/keeper-benchmark-XXXXXX"));
    const QString cacheFolder = place.path() + QStringLiteral("/Cache_Data");
    const QString saveFolder = place.path() + QStringLiteral("/saved");
    if (!place.isValid() || !QDir().mkpath(cacheFolder) || !QDir().mkpath(saveFolder))
        return 1;

    std::deque<QString> live; // oldest first
    int next = 0;
    const auto writeNext = [&] {
        const QString name = sourceFiles[next++ % sourceFiles.size()];
        const QString target = cacheFolder + u'/' + name;
        if (std::find(live.begin(), live.end(), name) == live.end())
            live.push_back(name);
        QFile::remove(target);
        QFile::copy(source + u'/' + name, target);
        while (int(live.size()) > settings.warm) {
            QFile::remove(cacheFolder + u'/' + live.front());
            live.pop_front();
        }
    };
    for (int i = 0; i < settings.warm && i < sourceFiles.size(); ++i)
        writeNext();

    std::atomic<bool> closing{false};
    CopyQueue queue;
    SimpleCache cache(cacheFolder);
    thCpy worker(queue, cache, closing, 0ms, nullptr, 1);
    worker.start();
    CountingObserver observer;
    CacheKeeper keeper(cache, {{CacheLocation::Kind::ChromiumSimple, cacheFolder, QStringLiteral("Chromium"), {}}},
                       queue, {everythingInto(saveFolder)}, observer, nullptr, KeepSettings{50ms, 500ms, 10000ms});
    keeper.start();
    waitQuiet(keeper, observer);

    qint64 firstPeak = 0;
    qint64 firstResident = 0;
    for (int hour = 1; hour <= settings.hours; ++hour) {
        for (int write = 0; write < settings.perHour; ++write) {
            if (write % 10 == 9 && !live.empty()) { // the same bytes written again
                const QString name = live[std::size_t(write) % live.size()];
                QFile::remove(cacheFolder + u'/' + name);
                QFile::copy(source + u'/' + name, cacheFolder + u'/' + name);
            } else {
                writeNext();
            }
            std::this_thread::sleep_for(1ms);
        }
        waitQuiet(keeper, observer);
        const qint64 peak = statusKiB("VmHWM:");
        const qint64 resident = statusKiB("VmRSS:");
        if (hour == 1) {
            firstPeak = peak;
            firstResident = resident;
        }
        std::printf("hour %2d: matched %d, peak %lld KiB, resident %lld KiB\n", hour, keeper.totals().matched,
                    qlonglong(peak), qlonglong(resident));
    }
    keeper.requestStop();
    keeper.wait();
    const KeepTotals totals = keeper.totals();
    const qint64 lastPeak = statusKiB("VmHWM:");
    std::printf("churn: %d writes over %d live entries; saved %d, already saved %d, failed %d, changed %d\n",
                settings.hours * settings.perHour, settings.warm, totals.saves.saved, totals.saves.alreadySaved,
                totals.saves.failed, totals.saves.changed);
    std::printf("churn: peak after the first hour %lld KiB (resident %lld), after the last %lld KiB (resident %lld): "
                "growth %.1f %% (target <= 5 %%)\n",
                qlonglong(firstPeak), qlonglong(firstResident), qlonglong(lastPeak), qlonglong(statusKiB("VmRSS:")),
                firstPeak > 0 ? 100.0 * double(lastPeak - firstPeak) / double(firstPeak) : 0.0);
    worker.requestStop();
    worker.wait();
    return 0;
}

int idle(const QString& source, const Settings& settings)
{
    std::atomic<bool> closing{false};
    CopyQueue queue;
    SimpleCache cache(source);
    QTemporaryDir place(QDir::tempPath() + QStringLiteral("/keeper-benchmark-XXXXXX"));
    thCpy worker(queue, cache, closing, 0ms, nullptr, 1);
    worker.start();
    StrucRec nothing = everythingInto(place.path());
    nothing.urlStr = QStringLiteral("no-such-site.invalid");
    CountingObserver observer;
    CacheKeeper keeper(cache, {{CacheLocation::Kind::ChromiumSimple, source, QStringLiteral("Chromium"), {}}}, queue,
                       {nothing}, observer, nullptr);
    keeper.start();
    // The first pass over the cache, then a moment for it to end.
    while (keeper.totals().rescans < 1)
        std::this_thread::sleep_for(10ms);
    std::this_thread::sleep_for(2s);
    const double cpuBefore = cpuSeconds();
    const auto wallBefore = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(settings.idleSeconds));
    const double cpu = cpuSeconds() - cpuBefore;
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count();
    std::printf("idle: %d entry files watched, %.1f s: CPU %.3f s, %.3f %% of a core (target <= 0.5 %%)\n",
                int(SimpleCacheFolder(source).entryFileNames().size()), wall, cpu, 100.0 * cpu / wall);
    keeper.requestStop();
    keeper.wait();
    worker.requestStop();
    worker.wait();
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    QStringList arguments = application.arguments().mid(1);
    Settings settings;
    if (arguments.removeAll(QStringLiteral("--short")) > 0)
        settings = {3, 20, 20, 1};
    if (arguments.size() != 1) {
        std::fprintf(stderr, "usage: keeper_benchmark [--short] SIMPLE_CACHE_FOLDER\n");
        return 2;
    }
    const QString source = QDir(arguments.front()).absolutePath();
    if (const int failed = churn(source, settings))
        return failed;
    return idle(source, settings);
}
