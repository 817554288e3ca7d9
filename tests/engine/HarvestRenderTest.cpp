#include "app/CommandLineTool.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QWebEnginePage>
#include <QWebEngineScript>

// Harvests a cache written by a real browser from the command line, then opens the archive of a page
// in a real web engine, offline, and asks the engine how many of the page's pictures it shows.
class HarvestRenderTest : public QObject
{
    Q_OBJECT

private slots:
    void aHarvestedPageShowsWithItsCachedPictures()
    {
        QTemporaryDir work;
        const QString pages = work.filePath("pages");
        const QString pictures = work.filePath("pictures");
        QVERIFY(QDir().mkpath(pages));
        QVERIFY(QDir().mkpath(pictures));
        QFile plans(work.filePath("plancfg.ini"));
        QVERIFY(plans.open(QIODevice::WriteOnly));
        plans.write(("[name]\nn1=key1\nn2=key2\n[key1]\nname=pages\nztype=0\ntpname=*.htm(html)\nsavpath=" + pages +
                     "\n[key2]\nname=pictures\nztype=1\ntpname=*.gif,*.jpg(jpeg),*.png\nsavpath=" + pictures + "\n")
                        .toUtf8());
        plans.close();

        QString out;
        QString err;
        QTextStream outStream(&out);
        QTextStream errStream(&err);
        CommandLineTool tool(work.path(), {work.path(), work.filePath(".cache"), work.filePath(".config")}, outStream,
                             errStream);
        QCOMPARE(tool.run({"run", "--plans", plans.fileName(), "--cache",
                           WEBGLEANER_TEST_DATA "/caches/chromium-simple/Cache_Data"}),
                 0);
        QVERIFY2(QFile::exists(QDir(pictures).filePath("logo[1].gif")), qPrintable(out + err));
        const QString archive = QDir(pages).filePath(QStringLiteral("中文测试页面 - UTF-8 编码.mht"));
        QVERIFY2(QFile::exists(archive), qPrintable(QDir(pages).entryList().join('\n')));

        QWebEnginePage page;
        QSignalSpy loaded(&page, &QWebEnginePage::loadFinished);
        page.load(QUrl::fromLocalFile(archive));
        QVERIFY(loaded.wait(30000));
        QVERIFY(loaded.first().first().toBool());

        // Pictures decode after the load; wait until every one has its size or failed for good.
        const QString countPictures =
            QStringLiteral("(() => { const all = Array.from(document.images);"
                           " return [all.length, all.filter(i => i.complete && i.naturalWidth > 0).length,"
                           " all.filter(i => !i.complete).length, document.title]; })()");
        QVariantList counts;
        for (int attempt = 0; attempt < 300; ++attempt) {
            bool answered = false;
            // Scripts never run inside an archive; the isolated world of the test still may.
            page.runJavaScript(countPictures, QWebEngineScript::ApplicationWorld, [&](const QVariant& result) {
                counts = result.toList();
                answered = true;
            });
            QTRY_VERIFY_WITH_TIMEOUT(answered, 10000);
            if (counts.size() == 4 && counts[2].toInt() == 0)
                break;
            QTest::qWait(100);
        }
        QCOMPARE(counts.size(), 4);
        QCOMPARE(counts[3].toString(), QStringLiteral("中文测试页面 - UTF-8 编码"));
        QVERIFY(counts[0].toInt() >= 4);
        QCOMPARE(counts[1].toInt(), counts[0].toInt());
    }
};

int main(int argc, char* argv[])
{
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QGuiApplication application(argc, argv);
    HarvestRenderTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "HarvestRenderTest.moc"
