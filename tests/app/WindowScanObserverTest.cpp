#include "app/WindowScanObserver.h"
#include "engine/cache/MapCache.h"
#include "engine/run/CopyQueue.h"
#include "engine/run/tScanBuf.h"
#include "util/GuardedApplication.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>
#include <atomic>

namespace
{

// The scan's side of a window observer, with the moment of each match noted.
class TimedObserver : public WindowScanObserver
{
public:
    TimedObserver(QObject* context, Receiver receiver, const QElapsedTimer& clock)
        : WindowScanObserver(context, std::move(receiver)), clock_(clock)
    {}

    void resultRow(const ResultRow& row) override
    {
        matchedAt.store(clock_.elapsed());
        WindowScanObserver::resultRow(row);
    }

    std::atomic<qint64> matchedAt{-1};

private:
    const QElapsedTimer& clock_;
};

} // namespace

// Reports of a real scan reaching the GUI thread through the window's observer.
class WindowScanObserverTest : public QObject
{
    Q_OBJECT

private slots:
    void aLoneMatchShowsWhileALongWalkGoesOn()
    {
        QTemporaryDir folder;
        MapCache cache(folder.path());
        // One match first, then a slow walk of entries that match nothing: a cache on a slow disk.
        cache.add("http://a.example/0-match.gif", "match.gif", "GIF89a");
        for (int i = 1; i <= 15; ++i)
            cache.add(QStringLiteral("http://a.example/%1-other.txt").arg(i, 2, 10, QLatin1Char('0')),
                      QStringLiteral("other%1.txt").arg(i), "text");
        StrucRec plan;
        plan.ztype = 1;
        plan.name = "pictures";
        plan.tpname = "*.gif";
        plan.savpath = folder.path();

        QElapsedTimer clock;
        clock.start();
        qint64 shownAt = -1;
        int rowsShown = 0;
        bool ended = false;
        QObject window;
        TimedObserver observer(&window,
                               {[](const QString&) {},
                                [&](const QList<ResultRow>& rows) {
                                    rowsShown += static_cast<int>(rows.size());
                                    shownAt = clock.elapsed();
                                },
                                [](const ScanProgress&) {}, [&] { ended = true; }},
                               clock);
        CopyQueue queue;
        const std::atomic<bool> closing{false};
        tScanBuf scanner(cache, queue, {plan}, closing, observer, std::chrono::milliseconds(100));
        scanner.start();
        QTRY_VERIFY_WITH_TIMEOUT(rowsShown == 1, 5000);
        QVERIFY2(!ended, "the row waited for the end of the walk");
        QVERIFY2(shownAt - observer.matchedAt.load() < 200,
                 qPrintable(QStringLiteral("shown %1 ms after the match").arg(shownAt - observer.matchedAt.load())));
        QTRY_VERIFY_WITH_TIMEOUT(ended, 10000);
        QCOMPARE(rowsShown, 1);
    }
};

int main(int argc, char* argv[])
{
    GuardedApplication application(argc, argv);
    WindowScanObserverTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "WindowScanObserverTest.moc"
