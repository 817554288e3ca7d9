#include "cleanup/DelF.h"

#include "CacheUrls.h"
#include "QtPrinters.h"
#include "TestFolders.h"
#include "engine/MapCache.h"
#include "engine/cache/CacheDetector.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <thread>

namespace
{

struct Outcome
{
    QList<int> progress;
    QList<int> finished;
};

Outcome clear(UrlCache& cache)
{
    Outcome outcome;
    DelF worker(cache, {[&outcome](int percent) { outcome.progress << percent; },
                        [&outcome](int deleted) { outcome.finished << deleted; }});
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
    EXPECT_EQ(outcome.finished, QList<int>{5});
    ASSERT_FALSE(outcome.progress.isEmpty());
    EXPECT_EQ(outcome.progress.last(), 100);
}

TEST(DelFTest, AnEmptyCacheFinishesWithNothingDeleted)
{
    QTemporaryDir folder;
    MapCache cache(folder.path());
    const Outcome outcome = clear(cache);
    EXPECT_EQ(outcome.finished, QList<int>{0});
    EXPECT_TRUE(outcome.progress.isEmpty());
}

TEST(DelFTest, AStopBeforeTheWalkDeletesNothingAndStillFinishes)
{
    QTemporaryDir folder;
    MapCache cache(folder.path());
    cache.add(QStringLiteral("http://example.test/a.htm"), QStringLiteral("a"), "x");
    QList<int> finished;
    DelF worker(cache, {{}, [&finished](int deleted) { finished << deleted; }});
    worker.requestStop();
    worker.Execute();
    EXPECT_EQ(finished, QList<int>{0});
    EXPECT_EQ(urlsIn(cache).size(), 1);
}

TEST(DelFTest, TheFirstStepRunsOnTheWorkersThreadBeforeTheWalk)
{
    QTemporaryDir folder;
    MapCache cache(folder.path());
    std::thread::id stepThread;
    QList<int> finished;
    // The step adds the entry the walk is to find, as finding the caches afresh would.
    DelF worker(cache, {{}, [&finished](int deleted) { finished << deleted; }}, nullptr, [&] {
        stepThread = std::this_thread::get_id();
        cache.add(QStringLiteral("http://example.test/a.htm"), QStringLiteral("a"), "x");
    });
    worker.start();
    worker.wait();
    EXPECT_NE(stepThread, std::thread::id());
    EXPECT_NE(stepThread, std::this_thread::get_id());
    EXPECT_EQ(finished, QList<int>{1});
    EXPECT_TRUE(urlsIn(cache).isEmpty());
}

// Caches written by real browsers, copied to a temporary folder and opened as the program opens them.
class DelFFixtureTest : public ::testing::TestWithParam<const char*>
{};

TEST_P(DelFFixtureTest, EmptiesTheCacheOfEveryEntryItOffers)
{
    QTemporaryDir temporary;
    const QString copy = temporary.filePath(QStringLiteral("cache"));
    ASSERT_TRUE(copyFolder(QStringLiteral(WEBGLEANER_TEST_DATA "/caches/") + QLatin1String(GetParam()), copy));
    const CacheLocation location = CacheDetector::recognise(copy);
    ASSERT_NE(location.kind, CacheLocation::Kind::Unknown);

    QStringList before;
    {
        const std::unique_ptr<UrlCache> cache = CacheDetector::openAll({location});
        before = urlsIn(*cache);
        ASSERT_FALSE(before.isEmpty());
        const Outcome outcome = clear(*cache);
        before.removeDuplicates();
        EXPECT_EQ(outcome.finished, QList<int>{int(before.size())});
    }

    // A new reader sees the files as they are now.
    const std::unique_ptr<UrlCache> reopened = CacheDetector::openAll({location});
    EXPECT_EQ(urlsIn(*reopened), QStringList());
}

INSTANTIATE_TEST_SUITE_P(Browsers, DelFFixtureTest, ::testing::Values("firefox-cache2", "chromium-simple/Cache_Data"),
                         [](const ::testing::TestParamInfo<const char*>& browser) {
                             return QString::fromLatin1(browser.param).section(u'/', 0, 0).remove(u'-').toStdString();
                         });

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
        clear(*cache);
    }
    const std::unique_ptr<UrlCache> reopened = CacheDetector::openAll({location});
    EXPECT_EQ(urlsIn(*reopened), QStringList{QStringLiteral("ftp://files.example.test/readme.txt")});
}

} // namespace
