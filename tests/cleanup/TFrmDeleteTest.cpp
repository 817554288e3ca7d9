#include "cleanup/TFrmDelete.h"

#include "CacheUrls.h"
#include "TestFolders.h"
#include "app/ErrorLog.h"
#include "cleanup/CleanupCommands.h"
#include "engine/cache/MapCache.h"
#include "util/BackgroundWorker.h"
#include "util/GuardedApplication.h"
#include "util/Prompt.h"
#include "util/SqliteDatabase.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <optional>

namespace
{

QString visitCount(const QString& database, const char* table)
{
    SqliteDatabase db(database, std::chrono::milliseconds(0));
    return db.textColumn(QStringLiteral("SELECT count(*) FROM %1").arg(QLatin1String(table))).value(0);
}

} // namespace

// Drives the clean-up dialog and the two clean-up commands through their real widgets; the questions are
// answered by the test.
class TFrmDeleteTest : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        folder_ = std::make_unique<QTemporaryDir>();
        questions_.clear();
        answerYes_ = true;
        Prompt::setResponder([this](const Prompt::Request& request, QString*) {
            questions_ << request.caption + ":" + request.text;
            return answerYes_;
        });
    }

    void cleanup() { Prompt::setResponder({}); }

    void theFirstTickClearsTheWebEntriesThenSaysSo_data()
    {
        QTest::addColumn<QString>("fixture");
        QTest::addColumn<QString>("copyName");
        QTest::addColumn<bool>("readOnly");
        const QString caches = QStringLiteral(WEBGLEANER_TEST_DATA "/caches");
        QTest::newRow("firefox cache") << caches + "/firefox-cache2"
                                       << "cache2" << false;
        QTest::newRow("chromium simple cache") << caches + "/chromium-simple/Cache_Data"
                                               << "Cache_Data" << false;
        QTest::newRow("blockfile cache") << caches + "/chromium-blockfile/Cache_Data"
                                         << "Cache_Data" << true;
        QTest::newRow("empty cache") << QString() << "cache2" << false;
    }

    void theFirstTickClearsTheWebEntriesThenSaysSo()
    {
        QFETCH(QString, fixture);
        QFETCH(QString, copyName);
        QFETCH(bool, readOnly);
        const QString copy = folder_->filePath(copyName);
        if (fixture.isEmpty())
            QVERIFY(QDir().mkpath(copy + "/entries"));
        else
            QVERIFY(copyFolder(fixture, copy));
        const std::unique_ptr<UrlCache> cache = CacheDetector::openAll({CacheDetector::recognise(copy)});
        const QStringList before = urlsIn(*cache, CacheEnumeration::Offer::Every);
        QCOMPARE(before.isEmpty(), fixture.isEmpty());
        QStringList failures;
        GuardedApplication::setFailureHandler([&failures](const QString& message) { failures << message; });
        const auto noHandler = qScopeGuard([] { GuardedApplication::setFailureHandler({}); });

        TFrmDelete dialog(*cache);
        dialog.show();
        QCOMPARE(dialog.windowTitle(), QStringLiteral("清除上网临时文件"));
        QCOMPARE(label(dialog)->text(), QStringLiteral("正在清除上网临时文件，请稍候..."));
        QCOMPARE(bar(dialog)->value(), 0);
        QCOMPARE(button(dialog)->text(), QStringLiteral("确 定"));
        QVERIFY(button(dialog)->isDefault());

        // The timer stops when the clearing has ended.
        QTRY_VERIFY(!dialog.findChild<QTimer*>("Timer1")->isActive());
        QCOMPARE(bar(dialog)->value(), 100);
        QVERIFY(button(dialog)->isEnabled());
        if (readOnly) {
            QCOMPARE(label(dialog)->text(),
                     QStringLiteral("已清除0项，%1项未能清除：blockfile缓存是只读的。").arg(before.size()));
            QCOMPARE(failures, QStringList{QStringLiteral("未清除缓存“%1”中的%2项：此缓存只读")
                                               .arg(QDir(copy).absolutePath(), QString::number(before.size()))});
            QCOMPARE(urlsIn(*cache, CacheEnumeration::Offer::Every), before);
        } else {
            QCOMPARE(label(dialog)->text(), QStringLiteral("上网临时文件清除完毕。"));
            QCOMPARE(failures, QStringList());
            QCOMPARE(urlsIn(*cache, CacheEnumeration::Offer::Every), QStringList());
        }

        QTest::mouseClick(button(dialog), Qt::LeftButton);
        QVERIFY(!dialog.isVisible());
    }

    void closingBeforeTheFirstTickClearsNothing()
    {
        MapCache cache(folder_->path());
        cache.add("http://example.test/a.htm", "a", "a");
        {
            TFrmDelete dialog(cache);
            dialog.show();
            dialog.close();
        }
        QTest::qWait(300); // past the tick that a dialog still open would have had
        QCOMPARE(urlsIn(cache), QStringList{"http://example.test/a.htm"});
        QCOMPARE(TFrmDelete::current(), nullptr);
    }

    void answeringNoLeavesTheCacheAlone()
    {
        MapCache cache(folder_->path());
        cache.add("http://example.test/a.htm", "a", "a");
        answerYes_ = false;
        CleanupCommands::clearTemporaryFiles(nullptr, cache);
        QCOMPARE(questions_, QStringList{QStringLiteral("提示:确实要清除上网临时文件吗？")});
        QCOMPARE(urlsIn(cache).size(), 1);
        QCOMPARE(TFrmDelete::current(), nullptr);
    }

    void theCommandClearsEachTimeItIsUsed()
    {
        MapCache cache(folder_->path());
        for (int run = 1; run <= 2; ++run) {
            cache.add("http://example.test/a.htm", "a", "a");
            cache.add("HTTP://EXAMPLE.TEST/B.GIF", "b", "b");
            cache.add("hTtp://example.test/c.htm", "c", "c");
            cache.add("ftp://example.test/d.txt", "d", "d");
            QString shownText;
            closeWhenDone(&shownText);
            CleanupCommands::clearTemporaryFiles(nullptr, cache);
            QCOMPARE(shownText, QStringLiteral("上网临时文件清除完毕。"));
            QCOMPARE(urlsIn(cache), (QStringList{"ftp://example.test/d.txt", "hTtp://example.test/c.htm"}));
            QCOMPARE(TFrmDelete::current(), nullptr);
        }
        QCOMPARE(questions_.size(), 2);
    }

    void clearingHistoryAsksFirst()
    {
        makeHome();
        answerYes_ = false;
        QObject context;
        QVERIFY(!CleanupCommands::clearHistory(nullptr, &context, programFolder(), {}, homes()));
        QCOMPARE(questions_, QStringList{QStringLiteral("提示:确实要清除IE历史记录吗？")});
        QCOMPARE(visitCount(places(), "moz_historyvisits"), QStringLiteral("6"));
        QCOMPARE(visitCount(history(), "visits"), QStringLiteral("6"));
    }

    void clearingHistoryClearsTheBrowsersWhoseCachesAreUsed()
    {
        makeHome();
        std::optional<bool> outcome;
        clearHistoryAndWait(&outcome);
        QCOMPARE(outcome, std::optional<bool>(true));
        QCOMPARE(visitCount(places(), "moz_historyvisits"), QStringLiteral("0"));
        QCOMPARE(visitCount(history(), "visits"), QStringLiteral("0"));
    }

    void aLockedHistoryReachesTheErrorLog()
    {
        makeHome();
        const ErrorLog log(programFolder());
        GuardedApplication::setFailureHandler([&log](const QString& message) { log.AppException(message); });
        std::optional<bool> outcome;
        {
            SqliteDatabase firefox(places(), std::chrono::milliseconds(0));
            firefox.execute("PRAGMA locking_mode = EXCLUSIVE");
            firefox.execute("BEGIN EXCLUSIVE");
            clearHistoryAndWait(&outcome);
        }
        GuardedApplication::setFailureHandler({});
        QCOMPARE(outcome, std::optional<bool>(false));
        const QString logged = QString::fromUtf8(fileBytes(log.path()));
        QVERIFY2(logged.contains(places()), qPrintable(logged));
        QCOMPARE(logged.count(QStringLiteral("\r\n")), 1);
        QCOMPARE(visitCount(places(), "moz_historyvisits"), QStringLiteral("6"));
        QCOMPARE(visitCount(history(), "visits"), QStringLiteral("0"));
    }

private:
    static QLabel* label(const TFrmDelete& dialog) { return dialog.findChild<QLabel*>("Label1"); }
    static QProgressBar* bar(const TFrmDelete& dialog) { return dialog.findChild<QProgressBar*>("ProgressBar1"); }
    static QPushButton* button(const TFrmDelete& dialog) { return dialog.findChild<QPushButton*>("BitBtn1"); }

    // Runs "清空历史记录", answered Yes, and waits for its end; `outcome` gets what `finished` was told. The
    // end is posted, so nothing of it happens before the command returns.
    void clearHistoryAndWait(std::optional<bool>* outcome)
    {
        QObject context;
        const std::unique_ptr<BackgroundWorker> worker = CleanupCommands::clearHistory(
            nullptr, &context, programFolder(), [outcome](bool cleared) { *outcome = cleared; }, homes());
        QVERIFY(worker != nullptr);
        QVERIFY(!outcome->has_value());
        QTRY_VERIFY_WITH_TIMEOUT(outcome->has_value(), 20000);
        worker->wait();
    }

    // Watches for the modal dialog the command shows; once it says it is done, notes its text and closes it.
    void closeWhenDone(QString* shownText)
    {
        auto* watch = new QTimer(this);
        connect(watch, &QTimer::timeout, this, [watch, shownText] {
            TFrmDelete* dialog = TFrmDelete::current();
            if (dialog == nullptr || !button(*dialog)->isEnabled() || bar(*dialog)->value() != 100)
                return;
            *shownText = label(*dialog)->text();
            watch->deleteLater();
            QTest::mouseClick(button(*dialog), Qt::LeftButton);
        });
        watch->start(20);
    }

    // A home with a Firefox and a Chromium profile, each with its cache where the browser puts it.
    void makeHome()
    {
        const QString fixtures = QStringLiteral(WEBGLEANER_TEST_DATA);
        QVERIFY(
            copyFolder(fixtures + "/caches/firefox-cache2", home("/.cache/mozilla/firefox/k3m9x2qa.default/cache2")));
        QVERIFY(copyFolder(fixtures + "/history/firefox/profile", home("/.mozilla/firefox/k3m9x2qa.default")));
        QVERIFY(copyFolder(fixtures + "/caches/chromium-simple/Cache_Data",
                           home("/.cache/chromium/Default/Cache/Cache_Data")));
        QVERIFY(copyFolder(fixtures + "/history/chromium/Default", home("/.config/chromium/Default")));
        QVERIFY(QDir().mkpath(programFolder()));
    }

    QString home(const QString& path = {}) const { return folder_->path() + "/home" + path; }
    QString programFolder() const { return folder_->filePath("program"); }
    CacheDetector::Homes homes() const { return {home(), home("/.cache"), home("/.config")}; }
    QString places() const { return home("/.mozilla/firefox/k3m9x2qa.default/places.sqlite"); }
    QString history() const { return home("/.config/chromium/Default/History"); }

    std::unique_ptr<QTemporaryDir> folder_;
    QStringList questions_;
    bool answerYes_ = true;
};

int main(int argc, char* argv[])
{
    GuardedApplication application(argc, argv);
    TFrmDeleteTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "TFrmDeleteTest.moc"
