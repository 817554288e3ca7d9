#include "engine/run/tScanBuf.h"

#include "QtPrinters.h"
#include "engine/cache/SimpleCache.h"
#include "engine/run/CopyQueue.h"
#include "engine/run/HarvestRun.h"
#include "engine/run/ScanObserver.h"
#include "util/DateText.h"
#include "util/FailureLog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QTemporaryDir>
#include <functional>
#include <gtest/gtest.h>
#include <stdexcept>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

const QString kFixture = QStringLiteral(WEBGLEANER_TEST_DATA "/caches/chromium-simple/Cache_Data");

// Records what a scan reports, in order: "hint:<text>", "row:<plan>:<url>", "end".
class RecordingObserver : public ScanObserver
{
public:
    std::function<void()> onFirstRow;

    void hintText(const QString& text) override { events << "hint:" + text; }
    void resultRow(const ResultRow& row) override
    {
        if (rows.isEmpty() && onFirstRow)
            onFirstRow();
        rows << row;
        events << "row:" + row.planName + ":" + row.url;
    }
    void runEnded() override { events << "end"; }
    void scanProgress(const ScanProgress& report) override { progress << report; }

    QStringList events;
    QList<ResultRow> rows;
    QList<ScanProgress> progress;
};

StrucRec plan(const QString& name, int ztype, const QString& tpname, const QString& urlStr = {},
              const QString& tilStr = {})
{
    StrucRec record;
    record.name = name;
    record.ztype = ztype;
    record.tpname = tpname;
    record.urlStr = urlStr;
    record.tilStr = tilStr;
    record.savpath = "/save/" + name;
    return record;
}

class ScanTest : public ::testing::Test
{
protected:
    tScanBuf::RunPlanList plans() const
    {
        return {plan("pictures", 1, "*.gif,*.jpg(jpeg)"), std::nullopt, plan("gifs", 1, "*.gif", "127.0.0.1"),
                plan("chinese", 0, "*.htm(html)", {}, QStringLiteral("中文"))};
    }

    void scan(tScanBuf::RunPlanList runPlans)
    {
        tScanBuf scanner(cache_, queue_, std::move(runPlans), closing_, observer_, std::chrono::milliseconds(0));
        stop_ = [&scanner] { scanner.requestStop(); };
        scanner.start();
        scanner.wait();
        EXPECT_FALSE(scanner.isRunning());
    }

    int queuedJobs()
    {
        int jobs = 0;
        for (; queue_.FirstJob() != nullptr; queue_.RemoveFirstJob())
            ++jobs;
        return jobs;
    }

    SimpleCache cache_{kFixture};
    CopyQueue queue_;
    std::atomic<bool> closing_{false};
    RecordingObserver observer_;
    std::function<void()> stop_;
};

TEST_F(ScanTest, ReportsOneRowAndQueuesOneJobPerMatchInOrder)
{
    scan(plans());
    QSet<QString> matches;
    for (const ResultRow& row : observer_.rows)
        matches << row.planName + " " + row.url;
    const QSet<QString> expected{
        "pictures http://127.0.0.1:18431/big/photo-big.jpg", "pictures http://127.0.0.1:18431/img/photo.jpg",
        "pictures http://127.0.0.1:18431/img/logo.gif",      "pictures http://127.0.0.1:18431/sub/shared.gif",
        "gifs http://127.0.0.1:18431/img/logo.gif",          "gifs http://127.0.0.1:18431/sub/shared.gif",
        "chinese http://127.0.0.1:18431/index.html",         "chinese http://127.0.0.1:18431/gbk.html",
    };
    EXPECT_EQ(matches, expected);
    ASSERT_EQ(observer_.rows.size(), 10) << "logo.gif is cached for two sites, and each copy is a match";

    ASSERT_GE(observer_.events.size(), 3);
    EXPECT_EQ(observer_.events.first(), "hint:正在检索数据，请稍候...");
    EXPECT_EQ(observer_.events[observer_.events.size() - 2], "hint:回收完毕，共回收10条记录");
    EXPECT_EQ(observer_.events.last(), "end");
    // An entry matching two plans gives two rows next to each other, in plan-list order.
    for (qsizetype i = 0; i < observer_.rows.size(); ++i) {
        if (observer_.rows[i].planName == "gifs") {
            ASSERT_GT(i, 0);
            EXPECT_EQ(observer_.rows[i - 1].planName, "pictures");
            EXPECT_EQ(observer_.rows[i - 1].url, observer_.rows[i].url);
        }
    }
    for (const ResultRow& row : observer_.rows) {
        EXPECT_EQ(row.accessDate, DateText::format(QDate(2026, 12, 10)));
        if (row.url.endsWith("/img/photo.jpg")) {
            EXPECT_EQ(row.size, "41512");
        }
    }

    QStringList jobs;
    for (const CopyJob* job = queue_.FirstJob(); job != nullptr; job = job->next.get())
        jobs << job->saveFolder + (job->isDocument ? " document " : " resource ") + job->entry.url;
    QStringList rows;
    for (const ResultRow& row : observer_.rows)
        rows << "/save/" + row.planName + (row.planName == "chinese" ? " document " : " resource ") + row.url;
    EXPECT_EQ(jobs, rows);
}

TEST_F(ScanTest, ProgressRunsFromNothingToEveryEntryFileWithTheMatches)
{
    scan(plans());
    ASSERT_GE(observer_.progress.size(), 2);
    const qsizetype entryFiles = QDir(kFixture).entryList({"*_0"}, QDir::Files).size();
    EXPECT_EQ(observer_.progress.first().entriesWalked, 0);
    EXPECT_EQ(observer_.progress.first().entriesTotal, entryFiles);
    EXPECT_EQ(observer_.progress.last().entriesWalked, entryFiles);
    EXPECT_EQ(observer_.progress.last().entriesTotal, entryFiles);
    EXPECT_EQ(observer_.progress.last().matches, observer_.rows.size());
}

TEST_F(ScanTest, StopFinishesTheCurrentEntryAndStillEndsTheRun)
{
    observer_.onFirstRow = [this] { stop_(); };
    scan({plan("everything", 1, ""), plan("again", 1, "")});
    ASSERT_EQ(observer_.rows.size(), 2) << "the entry being tested is finished against all plans";
    EXPECT_EQ(observer_.rows[0].url, observer_.rows[1].url);
    EXPECT_EQ(observer_.events[observer_.events.size() - 2], "hint:回收完毕，共回收2条记录");
    EXPECT_EQ(observer_.events.last(), "end");
    EXPECT_EQ(queuedJobs(), 2);
}

TEST_F(ScanTest, ClosingStopsBeforeTheNextPlan)
{
    observer_.onFirstRow = [this] { closing_ = true; };
    scan({plan("everything", 1, ""), plan("again", 1, "")});
    EXPECT_EQ(observer_.rows.size(), 1);
    EXPECT_EQ(observer_.events.last(), "end");
}

TEST_F(ScanTest, NoPlansOrAnEmptyCacheGiveACountOfZero)
{
    scan({std::nullopt});
    EXPECT_EQ(observer_.events, (QStringList{"hint:正在检索数据，请稍候...", "hint:回收完毕，共回收0条记录", "end"}));
}

TEST(ScanWebAddressTest, OnlyTheAcceptedSpellingsOfHttpAreWebAddresses)
{
    for (const char* url : {"http://a", "HTTP://a", "Http://a", "https://a", "HttP://a", "htTP://a", "pHTT", "ttpH"})
        EXPECT_TRUE(tScanBuf::isWebAddress(url)) << url;
    for (const char* url : {"", "hTtp://a", "htTp://a", "ftp://a", "Cookie:user@site/", "Visited: user@http://a"})
        EXPECT_FALSE(tScanBuf::isWebAddress(url)) << url;
}

// A process id that no process holds now: a child's, once it has ended.
pid_t endedProcessId()
{
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    ::waitpid(child, nullptr, 0);
    return child;
}

TEST_F(ScanTest, ARunFirstRemovesWhatInterruptedSavesLeftInItsFolders)
{
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const QString dead = QString::number(endedProcessId());
    const QString self = QString::number(::getpid());
    const timespec hourAgo{::time(nullptr) - 3600, 0};
    // clang-format off
    const struct { const char* name; QString file; bool old; bool removed; } cases[] = {
        {"crashed save",              ".webgleaner-" + dead + "-3.part",  true,  true},
        {"another crashed save",      ".webgleaner-" + dead + "-17.part", true,  true},
        {"this process's own save",   ".webgleaner-" + self + "-1.part",  true,  false},
        {"a running process's save",  ".webgleaner-1-1.part",             true,  false},
        {"written since the run began",".webgleaner-" + dead + "-4.part", false, false},
        {"not a name saves give",     ".webgleaner-notes.part",           true,  false},
        {"a harvested file",          "webgleaner-" + dead + "-5.part",   true,  false},
    };
    // clang-format on
    for (const auto& c : cases) {
        QFile file(folder.filePath(c.file));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << c.name;
        file.write("half a save");
        file.close();
        if (c.old) {
            const timespec times[2] = {hourAgo, hourAgo};
            ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(file.fileName()).constData(), times, 0), 0);
        }
    }
    // Only regular files: a FIFO or a link of that name is somebody else's.
    const QString fifo = folder.filePath(".webgleaner-" + dead + "-8.part");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QString link = folder.filePath(".webgleaner-" + dead + "-9.part");
    ASSERT_TRUE(QFile::link(folder.filePath(cases[2].file), link));

    StrucRec pictures = plan("pictures", 1, "*.gif");
    pictures.savpath = folder.path();

    for (const bool removes : {false, true}) {
        SCOPED_TRACE(removes ? "a run that saves" : "a run that only lists");
        tScanBuf scanner(cache_, queue_, {pictures}, closing_, observer_, std::chrono::milliseconds(0));
        scanner.setRemovesLeftovers(removes);
        scanner.Execute();
        queuedJobs();
        for (const auto& c : cases)
            EXPECT_EQ(QFileInfo::exists(folder.filePath(c.file)), !(removes && c.removed)) << c.name;
        EXPECT_TRUE(QFileInfo(fifo).exists());
        EXPECT_TRUE(QFileInfo(link).isSymLink());
    }
}

// A cache that fails the way a broken disk or a full memory does: at the start of a walk, or at its
// first entry.
class FailingCache final : public UrlCache
{
public:
    explicit FailingCache(bool atFirstEntry) : atFirstEntry_(atFirstEntry) {}

    std::unique_ptr<CacheEnumeration> enumerate() override
    {
        class FailingWalk final : public CacheEnumeration
        {
        public:
            std::optional<CacheEntry> next() override { throw std::runtime_error("walk broke"); }
        };
        if (!atFirstEntry_)
            throw std::runtime_error("cache gone");
        return std::make_unique<FailingWalk>();
    }
    std::optional<CacheEntry> lookup(const QString&) override { return std::nullopt; }
    RemoveOutcome removeEntry(const CacheEntry&) override { return RemoveOutcome::Gone; }
    bool isCurrent(const CacheEntry&) override { return false; }

private:
    const bool atFirstEntry_;
};

class LinesLog final : public FailureLog
{
public:
    void logFailure(const QString& message) noexcept override { lines << message; }
    QStringList lines;
};

TEST_F(ScanTest, ARunEndsWhateverTheWalkThrows)
{
    for (const bool atFirstEntry : {false, true}) {
        SCOPED_TRACE(atFirstEntry ? "at the first entry" : "at the start");
        FailingCache cache(atFirstEntry);
        LinesLog log;
        RecordingObserver observer;
        const auto run = std::make_shared<HarvestRun>();
        tScanBuf scanner(cache, queue_, plans(), closing_, observer, std::chrono::milliseconds(0), run, &log);
        scanner.start();
        scanner.wait();
        EXPECT_FALSE(scanner.isRunning());
        ASSERT_FALSE(observer.events.isEmpty());
        EXPECT_EQ(observer.events.last(), "end");
        EXPECT_TRUE(observer.events.contains("hint:回收完毕，共回收0条记录"));
        const CopyJob* end = queue_.FirstJob();
        ASSERT_NE(end, nullptr);
        EXPECT_TRUE(end->endsRun);
        EXPECT_EQ(end->run, run);
        queue_.RemoveFirstJob();
        ASSERT_EQ(log.lines.size(), 1);
        EXPECT_TRUE(log.lines[0].contains(atFirstEntry ? "walk broke" : "cache gone")) << log.lines[0].toStdString();
    }
}

} // namespace
