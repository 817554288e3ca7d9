#include "app/WindowKeepObserver.h"
#include "util/GuardedApplication.h"

#include <QTest>
#include <QThread>
#include <atomic>
#include <thread>

namespace
{

ResultRow rowNumber(int number)
{
    ResultRow row;
    row.url = QStringLiteral("http://a.example/%1.css").arg(number);
    row.planName = QStringLiteral("styles");
    return row;
}

KeepTotals savedTotals(int saved)
{
    KeepTotals totals;
    totals.saves.saved = saved;
    totals.matched = saved;
    return totals;
}

// What reached the GUI thread, one line a report, and how many batches the rows came in.
struct Heard
{
    QStringList lines;
    int batches = 0;
    bool offTheGuiThread = false;

    WindowKeepObserver::Receiver receiver()
    {
        const auto note = [this](const QString& line) {
            offTheGuiThread = offTheGuiThread || QThread::currentThread() != qApp->thread();
            lines << line;
        };
        return {
            [note](const QStringList& kept, const QStringList& notKept) {
                note("started " + kept.join(',') + " / " + notKept.join(','));
            },
            [note](const QString& text) { note("notice " + text); },
            [this, note](const QList<ResultRow>& rows) {
                ++batches;
                for (const ResultRow& row : rows)
                    note("row " + row.url);
            },
            [note](const KeepTotals& totals) { note(QStringLiteral("totals %1").arg(totals.saves.saved)); },
            [note](const KeepTotals& totals) { note(QStringLiteral("ended %1").arg(totals.saves.saved)); },
        };
    }
};

} // namespace

// Keeping's reports, made on other threads, reaching the GUI thread through the window's observer.
class WindowKeepObserverTest : public QObject
{
    Q_OBJECT

private slots:
    void reportsArriveInTheirOrderWithTheRowsInBatches()
    {
        QObject window;
        Heard heard;
        auto observer = std::make_unique<WindowKeepObserver>(&window, heard.receiver());
        QStringList expected{"started Chromium · Default / Firefox · x：没有权限"};
        // The keeper's thread: rows, each hundred followed by a notice; the totals come on the copy worker's.
        std::thread keeper([&observer] {
            observer->keepingStarted({"Chromium · Default"}, {"Firefox · x：没有权限"});
            for (int i = 0; i < 1000; ++i) {
                observer->resultRow(rowNumber(i));
                if (i % 100 == 99)
                    observer->notice(QString::number(i));
            }
        });
        for (int i = 0; i < 1000; ++i) {
            expected << "row http://a.example/" + QString::number(i) + ".css";
            if (i % 100 == 99)
                expected << "notice " + QString::number(i);
        }
        keeper.join();
        std::thread copyWorker([&observer] {
            observer->totalsChanged(savedTotals(1));
            observer->totalsChanged(savedTotals(2));
            observer->keepingEnded(savedTotals(3));
        });
        copyWorker.join();
        expected << "totals 1"
                 << "totals 2"
                 << "ended 3";
        // Gone before anything is handed over: what it posted still arrives.
        observer.reset();
        QVERIFY(heard.lines.isEmpty());
        QTRY_COMPARE(heard.lines.size(), expected.size());
        QCOMPARE(heard.lines, expected);
        QVERIFY(!heard.offTheGuiThread);
        // Rows made before the GUI thread drained come as one batch between the notices, not one call each.
        QVERIFY2(heard.batches <= 10, qPrintable(QString::number(heard.batches)));
    }

    void reportsMadeWhileTheWindowDrainsFollowInOrder()
    {
        QObject window;
        Heard heard;
        WindowKeepObserver observer(&window, heard.receiver());
        std::atomic<bool> done{false};
        std::thread keeper([&] {
            for (int i = 0; i < 3000; ++i) {
                observer.resultRow(rowNumber(i));
                if (i % 500 == 0)
                    observer.totalsChanged(savedTotals(i));
            }
            done = true;
        });
        // The GUI thread drains while the rows come.
        while (!done)
            QCoreApplication::processEvents();
        keeper.join();
        QTRY_COMPARE(heard.lines.size(), 3000 + 6);
        int nextRow = 0;
        for (const QString& line : heard.lines) {
            if (line.startsWith("totals ")) {
                QCOMPARE(line, QStringLiteral("totals %1").arg(nextRow - 1));
                continue;
            }
            QCOMPARE(line, "row " + rowNumber(nextRow++).url);
        }
    }

    void nothingArrivesOnceTheWindowIsGone()
    {
        Heard heard;
        auto window = std::make_unique<QObject>();
        WindowKeepObserver observer(window.get(), heard.receiver());
        std::thread keeper([&observer] {
            observer.keepingStarted({"Chromium · Default"}, {});
            observer.resultRow(rowNumber(1));
            observer.keepingEnded({});
        });
        keeper.join();
        window.reset();
        QTest::qWait(50);
        QVERIFY(heard.lines.isEmpty());
    }
};

int main(int argc, char* argv[])
{
    GuardedApplication application(argc, argv);
    WindowKeepObserverTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "WindowKeepObserverTest.moc"
