#include "cleanup/DelF.h"

#include "CacheUrls.h"
#include "QtPrinters.h"
#include "TestFolders.h"
#include "engine/cache/CacheDetector.h"
#include "engine/cache/MapCache.h"
#include "util/FailureLog.h"

#include <QDirIterator>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <thread>

// Test failures show the counts, not their bytes.
void PrintTo(const DelF::Counts& counts, std::ostream* out)
{
    *out << "{deleted " << counts.deleted << ", failed " << counts.failed << ", read-only " << counts.readOnly << "}";
}

namespace
{

using Counts = DelF::Counts;

struct Outcome
{
    QList<int> progress;
    QList<Counts> finished;
};

class LinesLog : public FailureLog
{
public:
    void logFailure(const QString& message) noexcept override { lines << message; }

    QStringList lines;
};

Outcome clear(UrlCache& cache, FailureLog* log = nullptr)
{
    Outcome outcome;
    DelF worker(cache,
                {[&outcome](int percent) { outcome.progress << percent; },
                 [&outcome](const Counts& counts) { outcome.finished << counts; }},
                log);
    worker.start();
    worker.wait();
    return outcome;
}

TEST(DelFTest, DeletesTheAddressesThatStartLikeHttpAndKeepsTheRest)
{
    QTemporaryDir folder;
    MapCache cache(folder.path());
    // clang-format off
    const struct { const char* url; bool deleted; } cases[] = {
        {"http://example.test/a.htm",  true},
        {"HTTP://EXAMPLE.TEST/B.GIF",  true},
        {"https://example.test/c.js",  true},
        {"HttP://example.test/d.css",  true},
        {"hTtp://example.test/e.htm",  false},
        {"htTp://example.test/f.htm",  false},
        {"ftp://example.test/g.txt",   false},
        {"file:///home/user/h.htm",    false},
        {"pHTT",                       true}, // straddles two spellings in the prefix set
    };
    // clang-format on
    QStringList kept;
    int fileNumber = 0;
    for (const auto& c : cases) {
        cache.add(QString::fromLatin1(c.url), QString::number(++fileNumber), "x");
        if (!c.deleted)
            kept << QString::fromLatin1(c.url);
    }
    kept.sort();

    const Outcome outcome = clear(cache);

    EXPECT_EQ(urlsIn(cache), kept);
    EXPECT_EQ(outcome.finished, (QList<Counts>{{5, 0, 0}}));
    ASSERT_FALSE(outcome.progress.isEmpty());
    EXPECT_EQ(outcome.progress.last(), 100);
}

TEST(DelFTest, EntriesThatCannotBeDeletedAreCountedAndLoggedOnceForTheirCache)
{
    QTemporaryDir folder;
    MapCache cache(folder.path());
    cache.add(QStringLiteral("http://example.test/a.htm"), QStringLiteral("a"), "a");
    cache.add(QStringLiteral("http://example.test/b.gif"), QStringLiteral("b"), "b");
    cache.add(QStringLiteral("http://example.test/c.css"), QStringLiteral("c"), "c");
    // A folder where a body file was cannot be unlinked.
    for (const char* name : {"b", "c"})
        ASSERT_TRUE(QFile::remove(folder.filePath(name)) && QDir().mkpath(folder.filePath(name) + "/kept"));
    LinesLog log;

    const Outcome outcome = clear(cache, &log);

    EXPECT_EQ(outcome.finished, (QList<Counts>{{1, 2, 0}}));
    EXPECT_EQ(
        log.lines,
        QStringList{QStringLiteral("未能清除缓存“%1”中的2项，其一为“http://example.test/b.gif”").arg(folder.path())});
    EXPECT_EQ(urlsIn(cache), (QStringList{"http://example.test/b.gif", "http://example.test/c.css"}));
}

TEST(DelFTest, AnEmptyCacheFinishesWithNothingDeleted)
{
    QTemporaryDir folder;
    MapCache cache(folder.path());
    const Outcome outcome = clear(cache);
    EXPECT_EQ(outcome.finished, (QList<Counts>{{0, 0, 0}}));
    EXPECT_TRUE(outcome.progress.isEmpty());
}

TEST(DelFTest, AStopBeforeTheWalkDeletesNothingAndStillFinishes)
{
    QTemporaryDir folder;
    MapCache cache(folder.path());
    cache.add(QStringLiteral("http://example.test/a.htm"), QStringLiteral("a"), "x");
    QList<Counts> finished;
    DelF worker(cache, {{}, [&finished](const Counts& counts) { finished << counts; }});
    worker.requestStop();
    worker.Execute();
    EXPECT_EQ(finished, (QList<Counts>{{0, 0, 0}}));
    EXPECT_EQ(urlsIn(cache).size(), 1);
}

TEST(DelFTest, TheFirstStepRunsOnTheWorkersThreadBeforeTheWalk)
{
    QTemporaryDir folder;
    MapCache cache(folder.path());
    std::thread::id stepThread;
    QList<Counts> finished;
    // The step adds the entry the walk is to find, as finding the caches afresh would.
    DelF worker(cache, {{}, [&finished](const Counts& counts) { finished << counts; }}, nullptr, [&] {
        stepThread = std::this_thread::get_id();
        cache.add(QStringLiteral("http://example.test/a.htm"), QStringLiteral("a"), "x");
    });
    worker.start();
    worker.wait();
    EXPECT_NE(stepThread, std::thread::id());
    EXPECT_NE(stepThread, std::this_thread::get_id());
    EXPECT_EQ(finished, (QList<Counts>{{1, 0, 0}}));
    EXPECT_TRUE(urlsIn(cache).isEmpty());
}

// Caches written by real browsers, copied to a temporary folder and opened as the program opens them.
// Each holds entries that a harvest passes over and that record a visit all the same.
struct FixtureCase
{
    const char* name;
    const char* folder;   // under tests/data/caches
    const char* entries;  // the folder of the entry files, under the copy
    QStringList unusable; // URLs the cache holds only in entries no harvest offers
};

class DelFFixtureTest : public ::testing::TestWithParam<FixtureCase>
{};

QStringList filesIn(const QString& folder)
{
    QStringList names;
    for (QDirIterator files(folder, QDir::Files); files.hasNext();)
        names << files.nextFileInfo().fileName();
    names.sort();
    return names;
}

TEST_P(DelFFixtureTest, DeletesEveryWebEntryWhateverItsStatus)
{
    const FixtureCase& c = GetParam();
    QTemporaryDir temporary;
    const QString copy = temporary.filePath(QStringLiteral("cache"));
    ASSERT_TRUE(copyFolder(QStringLiteral(WEBGLEANER_TEST_DATA "/caches/") + QLatin1String(c.folder), copy));
    const CacheLocation location = CacheDetector::recognise(copy);
    ASSERT_NE(location.kind, CacheLocation::Kind::Unknown);

    int entries = 0;
    {
        const std::unique_ptr<UrlCache> cache = CacheDetector::openAll({location});
        const QStringList usable = urlsIn(*cache);
        const QStringList all = urlsIn(*cache, CacheEnumeration::Offer::Every);
        for (const QString& url : c.unusable) {
            EXPECT_FALSE(usable.contains(url)) << qPrintable(url);
            EXPECT_TRUE(all.contains(url)) << qPrintable(url);
        }
        entries = int(all.size());
        ASSERT_GT(entries, int(usable.size()));
        LinesLog log;
        const Outcome outcome = clear(*cache, &log);
        EXPECT_EQ(outcome.finished, (QList<Counts>{{entries, 0, 0}}));
        EXPECT_EQ(log.lines, QStringList());
    }

    // A new reader sees the files as they are now: no entry file is left, only the browser's index.
    const std::unique_ptr<UrlCache> reopened = CacheDetector::openAll({location});
    EXPECT_EQ(urlsIn(*reopened, CacheEnumeration::Offer::Every), QStringList());
    const QStringList left = filesIn(QDir(copy).filePath(QLatin1String(c.entries)));
    EXPECT_TRUE(left.isEmpty() || left == QStringList{QStringLiteral("index")}) << qPrintable(left.join(u' '));
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Browsers, DelFFixtureTest, ::testing::Values(
    FixtureCase{"firefox", "firefox-cache2", "entries",
                {"http://127.0.0.1:18432/favicon.ico", "http://localhost:18432/favicon.ico"}},
    FixtureCase{"chromium", "chromium-simple/Cache_Data", ".",
                {"http://127.0.0.1:18431/old.html", "http://127.0.0.1:18431/favicon.ico",
                 "http://localhost:18431/favicon.ico"}}),
    [](const ::testing::TestParamInfo<FixtureCase>& c) { return std::string(c.param.name); });
// clang-format on

// A blockfile cache is never written to: nothing of it is deleted, and the end and the log say why.
TEST(DelFBlockfileTest, DeletesNothingAndReportsTheCacheReadOnly)
{
    QTemporaryDir temporary;
    const QString copy = temporary.filePath(QStringLiteral("Cache_Data"));
    ASSERT_TRUE(copyFolder(QStringLiteral(WEBGLEANER_TEST_DATA "/caches/chromium-blockfile/Cache_Data"), copy));
    const CacheLocation location = CacheDetector::recognise(copy);
    ASSERT_EQ(location.kind, CacheLocation::Kind::ChromiumBlockfile);
    const std::unique_ptr<UrlCache> cache = CacheDetector::openAll({location});
    const QStringList before = urlsIn(*cache, CacheEnumeration::Offer::Every);
    // The redirect and the error pages are there as well as the usable entries.
    for (const char* url : {"http://127.0.0.1:18431/old.html", "http://localhost:18431/favicon.ico"})
        ASSERT_TRUE(before.contains(QLatin1String(url))) << url;

    LinesLog log;
    const Outcome outcome = clear(*cache, &log);

    EXPECT_EQ(outcome.finished, (QList<Counts>{{0, 0, int(before.size())}}));
    ASSERT_EQ(log.lines.size(), 1);
    EXPECT_EQ(log.lines.first(), QStringLiteral("未清除缓存“%1”中的%2项：此缓存只读")
                                     .arg(QDir(copy).absolutePath(), QString::number(before.size())));
    EXPECT_EQ(urlsIn(*cache, CacheEnumeration::Offer::Every), before);
}

// The old Windows URL cache keeps addresses as the pages gave them: this one, written by Wine's Internet
// library, holds http, HTTP, https and ftp entries.
TEST(DelFIndexDatTest, DeletesHttpInAnyAcceptedSpellingAndHttpsAndKeepsFtp)
{
    QTemporaryDir temporary;
    ASSERT_TRUE(copyFolder(QStringLiteral(WEBGLEANER_TEST_DATA "/caches/indexdat/small"), temporary.path()));
    const CacheLocation location = CacheDetector::recognise(temporary.filePath(QStringLiteral("Content.IE5")));
    ASSERT_EQ(location.kind, CacheLocation::Kind::IndexDat);
    {
        const std::unique_ptr<UrlCache> cache = CacheDetector::openAll({location});
        const QStringList before = urlsIn(*cache);
        for (const char* url : {"HTTP://EXAMPLE.TEST/UPPER.CSS", "https://secure.example.test/a.js?x=1&y=2",
                                "http://example.test/gbk.html", "ftp://files.example.test/readme.txt"})
            ASSERT_TRUE(before.contains(QLatin1String(url))) << url;
        // Every record but the ftp one.
        const int records = int(urlsIn(*cache, CacheEnumeration::Offer::Every).size());
        EXPECT_EQ(clear(*cache).finished, (QList<Counts>{{records - 1, 0, 0}}));
    }
    const std::unique_ptr<UrlCache> reopened = CacheDetector::openAll({location});
    EXPECT_EQ(urlsIn(*reopened, CacheEnumeration::Offer::Every),
              QStringList{QStringLiteral("ftp://files.example.test/readme.txt")});
}

} // namespace
