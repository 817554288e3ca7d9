#include "app/CommandLineTool.h"
#include "engine/archive/MhtmlComposer.h"
#include "engine/archive/PageModel.h"
#include "engine/cache/CollectingSink.h"
#include "engine/cache/MapCache.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QTest>
#include <QWebEnginePage>
#include <QWebEngineScript>
#include <functional>

// Harvests a cache written by a real browser from the command line, then opens the archive of a page
// in a real web engine, offline, and asks the engine how many of the page's pictures it shows.
class HarvestRenderTest : public QObject
{
    Q_OBJECT

    // Runs `script` (an expression) in the page's isolated world until `done` accepts its answer.
    static QVariant askUntil(QWebEnginePage& page, const QString& script,
                             const std::function<bool(const QVariant&)>& done)
    {
        QVariant answer;
        for (int attempt = 0; attempt < 300; ++attempt) {
            bool answered = false;
            page.runJavaScript(script, QWebEngineScript::ApplicationWorld, [&](const QVariant& result) {
                answer = result;
                answered = true;
            });
            if (!QTest::qWaitFor([&] { return answered; }, 10000))
                return {};
            if (done(answer))
                break;
            QTest::qWait(100);
        }
        return answer;
    }

    struct Harvest
    {
        int exitCode = -1;
        QString output; // stdout and stderr
    };

    // Runs the command-line tool over `cache` with `planText` as its plan file.
    static Harvest harvest(const QTemporaryDir& work, const QString& planText, const QString& cache)
    {
        QFile plans(work.filePath("plancfg.ini"));
        if (!plans.open(QIODevice::WriteOnly))
            return {};
        plans.write(planText.toUtf8());
        plans.close();
        QString out;
        QTextStream stream(&out);
        CommandLineTool tool(work.path(), {work.path(), work.filePath(".cache"), work.filePath(".config")}, stream,
                             stream);
        const int exitCode = tool.run({"run", "--plans", plans.fileName(), "--cache", cache});
        stream.flush();
        return {exitCode, out};
    }

    // What the engine shows of the document `page` has loaded: its title, its text, how many elements.
    static QJsonObject shown(QWebEnginePage& page)
    {
        const QString script =
            QStringLiteral("JSON.stringify({title: document.title, text: document.body ? document.body.innerText : '',"
                           " elements: document.getElementsByTagName('*').length})");
        const QVariant answer = askUntil(page, script, [](const QVariant& result) { return result.isValid(); });
        return QJsonDocument::fromJson(answer.toString().toUtf8()).object();
    }

    static QString pagePlan(const QString& folder)
    {
        return "[name]\nn1=key1\n[key1]\nname=pages\nztype=0\ntpname=*.htm(html)\nsavpath=" + folder + "\n";
    }

private slots:
    void aHarvestedPageShowsWithItsCachedPictures()
    {
        QTemporaryDir work;
        const QString pages = work.filePath("pages");
        const QString pictures = work.filePath("pictures");
        QVERIFY(QDir().mkpath(pages));
        QVERIFY(QDir().mkpath(pictures));
        const Harvest done =
            harvest(work,
                    "[name]\nn1=key1\nn2=key2\n[key1]\nname=pages\nztype=0\ntpname=*.htm(html)\nsavpath=" + pages +
                        "\n[key2]\nname=pictures\nztype=1\ntpname=*.gif,*.jpg(jpeg),*.png\nsavpath=" + pictures + "\n",
                    WEBGLEANER_TEST_DATA "/caches/chromium-simple/Cache_Data");
        QCOMPARE(done.exitCode, 0);
        QVERIFY2(QFile::exists(QDir(pictures).filePath("logo[1].gif")), qPrintable(done.output));
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
        // Scripts never run inside an archive; the isolated world of the test still may.
        const QVariantList counts = askUntil(page, countPictures, [](const QVariant& result) {
                                        const QVariantList answer = result.toList();
                                        return answer.size() == 4 && answer[2].toInt() == 0;
                                    }).toList();
        QCOMPARE(counts.size(), 4);
        QCOMPARE(counts[3].toString(), QStringLiteral("中文测试页面 - UTF-8 编码"));
        QVERIFY(counts[0].toInt() >= 4);
        QCOMPARE(counts[1].toInt(), counts[0].toInt());
    }

    // Pages whose bytes once cut or forged their archives: NUL in the title and the text, CR or LF alone,
    // lines that are the archive's delimiter lines. The archive shows what the engine shows of the page
    // itself. (Where a page holds NULs, the engine reads it in the character set it guesses from its bytes
    // rather than the one its part's header names, unless the page names one itself, as the GBK page does.)
    void anArchiveShowsWhatThePageItselfShows()
    {
        QStringEncoder gbk("GBK");
        QVERIFY(gbk.isValid());
        const QByteArray nul(1, '\0');
        const struct
        {
            QByteArray page;
            QString contentType;
        } cases[] = {
            {"<html><head><meta charset=gbk><title>" + gbk.encode(QStringLiteral("前")) + nul +
                 gbk.encode(QStringLiteral("后")) + "</title></head>\r<body><p>" + gbk.encode(QStringLiteral("甲")) +
                 nul + gbk.encode(QStringLiteral("乙")) +
                 "</p>\r<p>b</p>\n------=gleaner\r\nContent-Type: text/html\r\n\r\n"
                 "<p>forged</p>\r\n------=gleaner--\r\n<p>" +
                 gbk.encode(QStringLiteral("丁")) + "</p></body></html>",
             "text/html; charset=gbk"},
            {"From the start\r\n<title>t" + nul + "</title><pre>a\rb\nc\r\n" + QByteArray(100, '=') + "\n</pre>" +
                 nul.repeated(300) + "<p>after</p>",
             "text/html; charset=utf-8"},
        };
        QTemporaryDir work;
        MapCache cache(work.path());
        int n = 0;
        for (const auto& c : cases) {
            const QString url = QStringLiteral("http://h/page%1.html").arg(++n);
            CollectingSink archive;
            QVERIFY(
                MhtmlComposer(cache).compose(PageModel::parse(url, c.page, c.contentType), QDate(2024, 3, 5), archive));
            QFile file(work.filePath(QStringLiteral("%1.mht").arg(n)));
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(archive.collected) == archive.collected.size());
            file.close();

            QWebEnginePage itself;
            QSignalSpy itselfLoaded(&itself, &QWebEnginePage::loadFinished);
            itself.setContent(c.page, c.contentType, QUrl(url));
            QVERIFY(itselfLoaded.wait(30000));
            QWebEnginePage saved;
            QSignalSpy savedLoaded(&saved, &QWebEnginePage::loadFinished);
            saved.load(QUrl::fromLocalFile(file.fileName()));
            QVERIFY(savedLoaded.wait(30000));
            QVERIFY(savedLoaded.first().first().toBool());

            const QJsonObject expected = shown(itself);
            QVERIFY(!expected["text"].toString().isEmpty());
            QCOMPARE(shown(saved), expected);
        }
    }

    // The fixture was written by chromium visiting pages that use every form of reference; expected.json
    // says what the live pages showed. The archive must show the same, offline.
    void anArchiveShowsWhatTheLivePageShowed()
    {
        const QString fixture = QStringLiteral(WEBGLEANER_TEST_DATA "/caches/chromium-pages");
        QFile expectedFile(fixture + "/expected.json");
        QVERIFY(expectedFile.open(QIODevice::ReadOnly));
        const QJsonArray expectedPages = QJsonDocument::fromJson(expectedFile.readAll())["pages"].toArray();
        QTemporaryDir work;
        const QString pages = work.filePath("pages");
        QVERIFY(QDir().mkpath(pages));
        const QString err = harvest(work, pagePlan(pages), fixture + "/Cache_Data").output;

        for (const QJsonValue& value : expectedPages) {
            const QJsonObject expected = value.toObject();
            const QString title = expected["title"].toString();
            if (expected.contains("embedded_in"))
                continue; // a frame, checked in its page
            const QString archive = QDir(pages).filePath(title + ".mht");
            QVERIFY2(QFile::exists(archive), qPrintable(QDir(pages).entryList().join('\n') + err));

            QWebEnginePage page;
            QSignalSpy loaded(&page, &QWebEnginePage::loadFinished);
            page.load(QUrl::fromLocalFile(archive));
            QVERIFY(loaded.wait(30000));
            QVERIFY(loaded.first().first().toBool());

            // Every picture the live page showed, by its element where it is one, else as the engine
            // loads its address from the archive; each with its natural size.
            QJsonArray pictures;
            for (const QJsonValue& picture : expected["pictures"].toArray()) {
                if (picture["in_cache"].toBool())
                    pictures.append(picture);
            }
            const QString check =
                QStringLiteral(
                    "(() => { const want = %1; window.__seen = window.__seen || {};"
                    " for (const p of want) { if (window.__seen[p.url]) continue;"
                    "  const e = document.querySelector(p.selector);"
                    "  const img = (e && e.tagName == 'IMG' && e.currentSrc == p.url) ? e : null;"
                    "  if (img) { if (img.complete) window.__seen[p.url] = img.naturalWidth + 'x' + img.naturalHeight; "
                    "continue; }"
                    "  if (!window.__seen['loading ' + p.url]) { window.__seen['loading ' + p.url] = 1;"
                    "   const probe = new Image(); probe.onload = () => window.__seen[p.url] = probe.naturalWidth + "
                    "'x' + probe.naturalHeight;"
                    "   probe.onerror = () => window.__seen[p.url] = 'error'; probe.src = p.url; } }"
                    " const styles = (%2).map(s => { const e = document.querySelector(s.selector);"
                    "  return e ? getComputedStyle(e)[s.property] : ''; });"
                    " return JSON.stringify({seen: want.map(p => window.__seen[p.url] || ''), styles: styles,"
                    "  title: document.title, text: document.body ? document.body.innerText : ''}); })()")
                    .arg(QString::fromUtf8(QJsonDocument(pictures).toJson(QJsonDocument::Compact)),
                         QString::fromUtf8(QJsonDocument(expected["styles"].toArray()).toJson(QJsonDocument::Compact)));
            const QVariant answer = askUntil(page, check, [](const QVariant& result) {
                const QJsonArray seen = QJsonDocument::fromJson(result.toString().toUtf8())["seen"].toArray();
                for (const QJsonValue& one : seen) {
                    if (one.toString().isEmpty())
                        return false;
                }
                return true;
            });
            const QJsonObject shown = QJsonDocument::fromJson(answer.toString().toUtf8()).object();
            const QJsonArray seen = shown["seen"].toArray();
            QCOMPARE(seen.size(), pictures.size());
            for (qsizetype i = 0; i < pictures.size(); ++i) {
                const QJsonObject picture = pictures[i].toObject();
                QCOMPARE(seen[i].toString() + " " + picture["url"].toString(),
                         QStringLiteral("%1x%2 ").arg(picture["width"].toInt()).arg(picture["height"].toInt()) +
                             picture["url"].toString());
            }
            const QJsonArray styles = expected["styles"].toArray();
            for (qsizetype i = 0; i < styles.size(); ++i)
                QCOMPARE(shown["styles"][i].toString(), styles[i]["value"].toString());
            QCOMPARE(shown["title"].toString(), title);
            if (expected.contains("text"))
                QVERIFY2(shown["text"].toString().contains(expected["text"].toString()),
                         qPrintable(shown["text"].toString()));

            // A frame document is a part of its own, with its own pictures.
            const QByteArray bytes = [&] {
                QFile file(archive);
                return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
            }();
            for (const QJsonValue& frame : expected["frames"].toArray()) {
                const QByteArray location = "Content-Location:" + frame["url"].toString().toUtf8() + "\r\n";
                QVERIFY2(bytes.contains("Content-Type: text/html; charset=utf-8\r\nContent-Transfer-Encoding: "
                                        "quoted-printable\r\n" +
                                        location),
                         location.constData());
            }
            for (const QJsonValue& frame : expectedPages) {
                if (frame["embedded_in"].toString() != expected["url"].toString())
                    continue;
                for (const QJsonValue& picture : frame["pictures"].toArray())
                    QVERIFY(bytes.contains("Content-Location:" + picture["url"].toString().toUtf8() + "\r\n"));
            }
            // What the cache lacks is counted, one log line for the page.
            const int missing = int(expected["not_cached"].toArray().size());
            if (missing > 0) {
                QFile log(work.filePath("error.log"));
                QVERIFY(log.open(QIODevice::ReadOnly));
                QVERIFY2(QString::fromUtf8(log.readAll())
                             .contains(QStringLiteral("页面“%1”有%2个资源不在缓存中")
                                           .arg(expected["url"].toString())
                                           .arg(missing)),
                         qPrintable(err));
            }
        }
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
