#include "util/UrlHistory.h"

#include "QtPrinters.h"
#include "TestFolders.h"
#include "util/SqliteDatabase.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

// The databases were written by chromium and firefox-esr (tests/data/history/README.md): both bookmarked
// gbk.html and never-visited.html, then visited five pages and gbk.html again.

namespace
{

const QString kFixtures = QStringLiteral(WEBGLEANER_TEST_DATA "/history");
const QString kBookmarkedVisited = QStringLiteral("http://127.0.0.1:18435/gbk.html");

QStringList query(const QString& database, const QString& sql)
{
    SqliteDatabase db(database, std::chrono::milliseconds(0));
    return db.textColumn(sql);
}

class UrlHistoryTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(home_.isValid());
        ASSERT_TRUE(copyFolder(kFixtures + QStringLiteral("/firefox/profile"), firefoxProfile_));
        ASSERT_TRUE(copyFolder(kFixtures + QStringLiteral("/chromium/Default"), chromiumProfile_));
    }

    QString places() const { return firefoxProfile_ + QStringLiteral("/places.sqlite"); }
    QString history() const { return chromiumProfile_ + QStringLiteral("/History"); }

    // The failures ClearUrlHistory reported, as one text; empty when there were none.
    QString clearBoth()
    {
        return UrlHistory::failureText(UrlHistory::ClearUrlHistory({firefoxProfile_, chromiumProfile_}));
    }

    void expectFirefoxCleared()
    {
        EXPECT_EQ(query(places(), "SELECT count(*) FROM moz_historyvisits"), QStringList{"0"});
        // Exactly the bookmarked places stay: the browser's four default bookmarks and the test's two.
        EXPECT_EQ(query(places(), "SELECT url FROM moz_places ORDER BY id"),
                  query(places(), "SELECT p.url FROM moz_bookmarks b JOIN moz_places p ON p.id = b.fk ORDER BY p.id"));
        EXPECT_EQ(query(places(), "SELECT count(*) FROM moz_places"), QStringList{"6"});
        EXPECT_EQ(query(places(), "SELECT count(*) FROM moz_bookmarks"), QStringList{"13"});
        EXPECT_EQ(query(places(), "SELECT max(visit_count) || ',' || count(last_visit_date) FROM moz_places"),
                  QStringList{"0,0"});
        EXPECT_EQ(query(places(), "SELECT title FROM moz_bookmarks WHERE fk = (SELECT id FROM moz_places "
                                  "WHERE url = 'http://127.0.0.1:18435/gbk.html')"),
                  QStringList{QStringLiteral("书签：GBK 页面")});
    }

    void expectFirefoxUntouched()
    {
        EXPECT_EQ(query(places(), "SELECT count(*) FROM moz_historyvisits"), QStringList{"6"});
        EXPECT_EQ(query(places(), "SELECT count(*) FROM moz_places"), QStringList{"10"});
    }

    void expectChromiumCleared()
    {
        EXPECT_EQ(query(history(), "SELECT count(*) FROM visits"), QStringList{"0"});
        // Of the bookmarked addresses only gbk.html was ever visited, so only it had a row to keep.
        EXPECT_EQ(query(history(), "SELECT url || ',' || visit_count || ',' || typed_count || ',' || last_visit_time "
                                   "FROM urls"),
                  QStringList{kBookmarkedVisited + ",0,0,0"});
        EXPECT_EQ(fileBytes(chromiumProfile_ + "/Bookmarks"), fileBytes(kFixtures + "/chromium/Default/Bookmarks"));
    }

    void expectChromiumUntouched()
    {
        EXPECT_EQ(query(history(), "SELECT count(*) FROM visits"), QStringList{"6"});
        EXPECT_EQ(query(history(), "SELECT count(*) FROM urls"), QStringList{"5"});
    }

    QTemporaryDir home_;
    const QString firefoxProfile_ = home_.filePath(".mozilla/firefox/k3m9x2qa.default-esr");
    const QString chromiumProfile_ = home_.filePath(".config/chromium/Default");
};

TEST_F(UrlHistoryTest, BrowsersLoseTheirVisitsAndKeepTheirBookmarks)
{
    EXPECT_EQ(clearBoth(), QString());
    expectFirefoxCleared();
    expectChromiumCleared();
}

TEST_F(UrlHistoryTest, ClearingTwiceFindsNothingMoreToDo)
{
    EXPECT_EQ(clearBoth(), QString());
    EXPECT_EQ(clearBoth(), QString());
    expectFirefoxCleared();
    expectChromiumCleared();
}

// A running browser holds its database in exclusive locking mode; a connection of the test does the same.
class LockedHistoryTest : public UrlHistoryTest, public ::testing::WithParamInterface<bool>
{};

TEST_P(LockedHistoryTest, ALockedDatabaseIsLeftUntouchedAndNamedAfterTheOthersAreCleared)
{
    const bool firefoxLocked = GetParam();
    const QString locked = firefoxLocked ? places() : history();
    const QString cleared = firefoxLocked ? history() : places();
    const QByteArray bytesBefore = fileBytes(locked);
    QString failure;
    {
        SqliteDatabase browser(locked, std::chrono::milliseconds(0));
        browser.execute("PRAGMA locking_mode = EXCLUSIVE");
        browser.execute("BEGIN EXCLUSIVE");
        failure = clearBoth();
        browser.execute("ROLLBACK");
    }
    EXPECT_TRUE(failure.contains(locked)) << failure.toStdString();
    EXPECT_FALSE(failure.contains(cleared)) << failure.toStdString();
    EXPECT_EQ(fileBytes(locked), bytesBefore);
    if (firefoxLocked) {
        expectFirefoxUntouched();
        expectChromiumCleared();
    } else {
        expectChromiumUntouched();
        expectFirefoxCleared();
    }
}

INSTANTIATE_TEST_SUITE_P(Browsers, LockedHistoryTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& firefox) {
                             return firefox.param ? "Firefox" : "Chromium";
                         });

TEST_F(UrlHistoryTest, TheFailureOfOneStoreIsNamedAndTheOthersAreStillCleared)
{
    ASSERT_TRUE(QFile::resize(history(), 100)); // torn: no longer a database
    const QString failure = clearBoth();
    EXPECT_TRUE(failure.contains(history())) << failure.toStdString();
    expectFirefoxCleared();
}

} // namespace
