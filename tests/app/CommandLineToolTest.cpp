#include "app/CommandLineTool.h"

#include "app/ProgramVersion.h"

#include "QtPrinters.h"
#include "TestFolders.h"
#include "UnreadablePlace.h"
#include "engine/warc/WarcFileReader.h"
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QUrl>

#include <functional>
#include <gtest/gtest.h>
#include <unistd.h>

namespace
{

const QString kChromiumFixture = QStringLiteral(WEBGLEANER_TEST_DATA "/caches/chromium-simple/Cache_Data");
const QString kFirefoxFixture = QStringLiteral(WEBGLEANER_TEST_DATA "/caches/firefox-cache2");
const QString kIndexDatFixture = QStringLiteral(WEBGLEANER_TEST_DATA "/caches/indexdat/small");

// A plan file naming one plan, "styles", for the style sheets of the Chromium fixture.
const QByteArray kStylesPlan = "[name]\nn1=key1\n[key1]\nname=styles\nztype=1\ntpname=*.css\n";

// Copies the files under `from` to `to`, keeping the folders between.
bool copyTree(const QString& from, const QString& to)
{
    QDirIterator files(from, QDir::Files, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        const QString source = files.next();
        const QString target = QDir(to).filePath(QDir(from).relativeFilePath(source));
        if (!QDir().mkpath(QFileInfo(target).path()) || !QFile::copy(source, target))
            return false;
    }
    return true;
}

struct Result
{
    int exitCode = 0;
    QString out;
    QString err;
};

class CommandLineToolTest : public ::testing::Test
{
protected:
    Result run(const QStringList& arguments, CommandLineTool::Terminals terminals = {}) const
    {
        Result result;
        QTextStream out(&result.out);
        QTextStream err(&result.err);
        const CacheDetector::Homes homes{home_.path(), home_.filePath(".cache"), home_.filePath(".config")};
        result.exitCode =
            CommandLineTool(FileLocations::allIn(program_.path()), homes, out, err, terminals).run(arguments);
        return result;
    }

    // A plan file with the plan "styles", which saves the Chromium fixture's two style sheets into `save`.
    QString stylesPlanSavingInto(const QString& save) const
    {
        const QString plans = QDir(program_.path()).filePath("plans.ini");
        QFile file(plans);
        if (!file.open(QIODevice::WriteOnly))
            return {};
        file.write(kStylesPlan + "savpath=" + QFile::encodeName(save) + "\n");
        return plans;
    }

    QTemporaryDir program_;
    QTemporaryDir home_;
};

TEST_F(CommandLineToolTest, BadArgumentsAndFoldersGiveOneLineAndExitCodeTwo)
{
    const QStringList cases[] = {
        {},
        {"harvest"},
        {"list", "--bogus"},
        {"list", "--cache"},
        {"list", "--cache", "/nonexistent/folder"},
        {"sources", "--cache", QDir::tempPath()}, // a folder, but no cache
        {"list", "--plans", "x.ini"},             // only run and watch take plans
        {"run", "--cache", kChromiumFixture},     // no plan file
        {"run", "--plans", "/nonexistent/plancfg.ini"},
        {"run", "--plans", WEBGLEANER_TEST_DATA "/plans/gbk-plancfg.ini", "--plan", "no such plan"},
        {"list", "--quiet"},
        {"watch", "--dry-run"}, // saving is what it is for
        {"watch", "--warc", "x.warc.gz"},
        {"watch", "--plans"},
        {"watch", "--plans", "/nonexistent/plancfg.ini", "--cache", kChromiumFixture},
        {"watch", "--plans", WEBGLEANER_TEST_DATA "/plans/gbk-plancfg.ini", "--plan", "no such plan", "--cache",
         kChromiumFixture},
    };
    for (const QStringList& arguments : cases) {
        const Result result = run(arguments);
        EXPECT_EQ(result.exitCode, 2) << arguments.join(' ').toStdString();
        EXPECT_TRUE(result.out.isEmpty());
        EXPECT_EQ(result.err.count('\n'), 1) << result.err.toStdString();
        EXPECT_TRUE(result.err.startsWith("webgleaner-cli: "));
    }
}

TEST_F(CommandLineToolTest, WatchWithoutPlansReadsTheWindowsPlanFileAndWithoutACacheKeepsNothing)
{
    // No plan file where the window keeps it: named in the one line.
    Result result = run({"watch", "--cache", kChromiumFixture});
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_EQ(result.err.count('\n'), 1) << result.err.toStdString();
    EXPECT_TRUE(result.err.contains(QDir(program_.path()).filePath("plancfg.ini"))) << result.err.toStdString();

    // The window's plans, but no cache to keep: said, and an exit that a service manager retries.
    QFile plans(QDir(program_.path()).filePath("plancfg.ini"));
    ASSERT_TRUE(plans.open(QIODevice::WriteOnly));
    plans.write(kStylesPlan + "savpath=" + QFile::encodeName(program_.path()) + "\n");
    plans.close();
    result = run({"watch"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_TRUE(result.out.isEmpty());
    EXPECT_TRUE(result.err.startsWith(QStringLiteral("webgleaner-cli: 未找到可读取的浏览器缓存")))
        << result.err.toStdString();
    EXPECT_TRUE(result.err.endsWith(QStringLiteral("webgleaner-cli: 没有可守候的缓存\n"))) << result.err.toStdString();
}

TEST_F(CommandLineToolTest, APlanFileWithoutPlansOrThatCannotBeReadGivesOneLineAndExitCodeTwo)
{
    struct Case
    {
        QString name;
        std::function<bool(const QString& path)> make;
        const char* reason;
    };
    const auto holding = [](const QByteArray& content) {
        return [content](const QString& path) {
            QFile file(path);
            return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
        };
    };
    QList<Case> cases{
        {"junk bytes",
         holding(QByteArray("\x7F"
                            "ELF\x02\x01\x01\0\0\0\0\0\0\0\0\0\x03\0>\0",
                            20)),
         "没有方案"},
        {"UTF-16", holding(QStringEncoder(QStringEncoder::Utf16LE).encode(QString::fromLatin1(kStylesPlan))),
         "没有方案"},
    };
    for (const UnreadablePlace::Kind kind : UnreadablePlace::kKinds) {
        if (UnreadablePlace::stopsThisUser(kind)) {
            cases.append({UnreadablePlace::name(kind),
                          [kind](const QString& path) { return UnreadablePlace::make(kind, path, kStylesPlan); },
                          "无法读取"});
        }
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name.toStdString());
        const QString plans = QDir(program_.path()).filePath(c.name);
        ASSERT_TRUE(c.make(plans));
        const Result result = run({"run", "--plans", plans, "--cache", kChromiumFixture, "--dry-run"});
        EXPECT_EQ(result.exitCode, 2);
        EXPECT_TRUE(result.out.isEmpty()) << result.out.toStdString();
        EXPECT_EQ(result.err.count('\n'), 1) << result.err.toStdString();
        EXPECT_TRUE(result.err.startsWith(QStringLiteral("webgleaner-cli: ")));
        EXPECT_TRUE(result.err.contains(plans)) << result.err.toStdString();
        EXPECT_TRUE(result.err.contains(QString::fromUtf8(c.reason))) << result.err.toStdString();
    }
}

TEST_F(CommandLineToolTest, APlanFileWithCarriageReturnsOnlyRuns)
{
    const QString plans = QDir(program_.path()).filePath("plans.ini");
    QFile file(plans);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QByteArray(kStylesPlan).replace('\n', '\r'));
    file.close();
    const Result result = run({"run", "--plans", plans, "--plan", "styles", "--cache", kChromiumFixture, "--dry-run"});
    EXPECT_EQ(result.exitCode, 0) << result.err.toStdString();
    EXPECT_TRUE(result.out.endsWith(QStringLiteral("回收完毕，共回收2条记录\n"))) << result.out.toStdString();
}

TEST_F(CommandLineToolTest, TabsLineBreaksAndBackslashesInAFieldAreEscaped)
{
    // The index.dat reader keeps a URL's bytes as they are: the fixture's "img/dot" becomes a tab, a
    // backslash and a line feed in the copy.
    const QString cache = QDir(home_.path()).filePath("cache");
    ASSERT_TRUE(copyTree(kIndexDatFixture, cache));
    QFile index(QDir(cache).filePath("Content.IE5/index.dat"));
    ASSERT_TRUE(index.open(QIODevice::ReadWrite));
    QByteArray bytes = index.readAll();
    const qsizetype at = bytes.indexOf("http://example.test/img/dot.gif");
    ASSERT_GE(at, 0);
    bytes.replace(at + 20, 7, "a\tb\\c\nd");
    ASSERT_TRUE(index.seek(0));
    ASSERT_EQ(index.write(bytes), bytes.size());
    index.close();
    const QString plans = QDir(program_.path()).filePath("plans.ini");
    QFile file(plans);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("[name]\nn1=key1\n[key1]\nname=gifs\nztype=1\ntpname=*.gif\n");
    file.close();

    struct Case
    {
        QStringList arguments;
        qsizetype fields;
    };
    const Case cases[] = {
        {{"list", "--cache", cache}, 5},
        {{"run", "--plans", plans, "--cache", cache, "--dry-run"}, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments.first().toStdString());
        const Result result = run(c.arguments);
        ASSERT_EQ(result.exitCode, 0) << result.err.toStdString();
        QStringList lines = result.out.split('\n', Qt::SkipEmptyParts);
        if (c.arguments.first() == "run")
            lines.removeLast(); // the completion line
        qsizetype escaped = 0;
        for (const QString& line : lines) {
            EXPECT_EQ(line.split('\t').size(), c.fields) << line.toStdString();
            if (line.startsWith(QStringLiteral("http://example.test/a\\tb\\\\c\\nd.gif\t")))
                ++escaped;
        }
        EXPECT_EQ(escaped, 1) << result.out.toStdString();
    }
}

TEST_F(CommandLineToolTest, ListPrintsOneTabSeparatedLinePerEntry)
{
    const Result result = run({"list", "--cache", kChromiumFixture, "--cache", kFirefoxFixture});
    ASSERT_EQ(result.exitCode, 0) << result.err.toStdString();
    QStringList lines = result.out.split('\n', Qt::SkipEmptyParts);
    ASSERT_FALSE(lines.isEmpty());
    bool sawPhoto = false;
    for (const QString& line : lines) {
        const QStringList fields = line.split('\t');
        ASSERT_EQ(fields.size(), 5) << line.toStdString();
        EXPECT_TRUE(fields[0].startsWith("http://")) << line.toStdString();
        EXPECT_TRUE(QDateTime::fromString(fields[3], "yyyy-MM-dd HH:mm:ss").isValid()) << line.toStdString();
        if (fields[0] == "http://127.0.0.1:18431/img/photo.jpg") {
            sawPhoto = true;
            EXPECT_EQ(fields[1], "photo[1].jpg");
            EXPECT_EQ(fields[2], "41512");
            EXPECT_EQ(fields[4], kChromiumFixture);
        }
    }
    EXPECT_TRUE(sawPhoto);
}

TEST_F(CommandLineToolTest, SourcesComeFromTheConfigFileOrTheUsersFolders)
{
    EXPECT_EQ(run({"sources"}).out, "") << "nothing in an empty home";

    QFile ini(QDir(program_.path()).filePath("webgleaner.ini"));
    ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
    ini.write(("[cache]\nchromium=" + kChromiumFixture + "\nfirefox=" + kFirefoxFixture + "\n").toUtf8());
    ini.close();
    const Result result = run({"sources"});
    EXPECT_EQ(result.exitCode, 0);
    const QStringList lines = result.out.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(lines[0].startsWith("chromium-simple\t" + kChromiumFixture + "\t"));
    EXPECT_TRUE(lines[1].startsWith("firefox\t" + kFirefoxFixture + "\t"));
    EXPECT_GT(lines[0].section('\t', 2, 2).toInt(), 0);
}

TEST_F(CommandLineToolTest, RunPrintsTheRowsOfTheNamedPlansAndTheCount)
{
    const QString save = QDir(program_.path()).filePath("saved");
    ASSERT_TRUE(QDir().mkpath(save));
    const QString plans = QDir(program_.path()).filePath("plans.ini");
    QFile file(plans);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(
        "[name]\nn1=key1\nn2=key2\n[key1]\nname=jpegs\nztype=1\ntpname=*.jpg\nsavpath=" + QFile::encodeName(save) +
        "\n[key2]\nname=styles\nztype=1\ntpname=*.css\nsavpath=" + QFile::encodeName(save) + "\n");
    file.close();

    Result result = run({"run", "--plans", plans, "--plan", "styles", "--cache", kChromiumFixture});
    ASSERT_EQ(result.exitCode, 0) << result.err.toStdString();
    QStringList lines = result.out.split('\n', Qt::SkipEmptyParts);
    EXPECT_EQ(lines.takeLast(), QStringLiteral("回收完毕，共回收2条记录"));
    lines.sort();
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(lines[0].startsWith("http://127.0.0.1:18431/css/print.css\t"));
    EXPECT_TRUE(lines[0].endsWith("\t1015\tstyles")) << "the decoded size";
    EXPECT_TRUE(lines[1].startsWith("http://127.0.0.1:18431/css/style.css\t"));
    // The totals follow on stderr once everything is saved.
    EXPECT_EQ(result.err, QStringLiteral("已保存2个，失败0个，因缓存已变跳过0个\n"));
    EXPECT_EQ(QDir(save).entryList(QDir::Files).size(), 2);

    result = run({"run", "--plans", plans, "--cache", kChromiumFixture});
    EXPECT_TRUE(result.out.endsWith(QStringLiteral("回收完毕，共回收4条记录\n"))) << result.out.toStdString();
}

TEST_F(CommandLineToolTest, AFailedSaveIsReportedAndGivesExitCodeOne)
{
    const QString plans = QDir(program_.path()).filePath("plans.ini");
    QFile file(plans);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("[name]\nn1=key1\n[key1]\nname=styles\nztype=1\ntpname=*.css\nsavpath=" +
               QFile::encodeName(program_.filePath("not-made")) + "\n");
    file.close();

    const Result result = run({"run", "--plans", plans, "--cache", kChromiumFixture});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_TRUE(result.out.endsWith(QStringLiteral("回收完毕，共回收2条记录\n"))) << result.out.toStdString();
    QStringList errors = result.err.split('\n', Qt::SkipEmptyParts);
    EXPECT_EQ(errors.takeLast(), QStringLiteral("已保存0个，失败2个，因缓存已变跳过0个"));
    ASSERT_EQ(errors.size(), 2);
    for (const QString& line : errors)
        EXPECT_TRUE(line.startsWith(QStringLiteral("webgleaner-cli: 未能保存“http://127.0.0.1:18431/css/")))
            << line.toStdString();
    // And the same lines in error.log beside the program.
    QFile log(QDir(program_.path()).filePath("error.log"));
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    EXPECT_EQ(log.readAll().count("\r\n"), 2);
}

TEST_F(CommandLineToolTest, ACacheThisUserMayNotReadIsSaidSo)
{
    if (::geteuid() == 0) {
        GTEST_SKIP() << "root reads files without permission";
    }
    // A blockfile cache whose index may not be read: named, it is refused; found, it is told about.
    const QString profile = home_.filePath(".wine/drive_c/users/me/AppData/Local/Google/Chrome/User Data/Default");
    ASSERT_TRUE(copyTree(WEBGLEANER_TEST_DATA "/caches/chromium-blockfile", profile + "/Cache"));
    const QString cache = profile + "/Cache/Cache_Data";
    ASSERT_TRUE(QFile::setPermissions(cache + "/index", {}));
    const QString plans = QDir(program_.path()).filePath("plans.ini");
    QFile file(plans);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(kStylesPlan) == kStylesPlan.size());
    file.close();
    const QString expected = QStringLiteral("webgleaner-cli: 无法读取缓存文件夹“%1”：没有权限\n").arg(cache);

    const QStringList named[] = {
        {"sources", "--cache", profile},
        {"list", "--cache", kChromiumFixture, "--cache", cache},
        {"run", "--plans", plans, "--cache", cache, "--dry-run"},
    };
    for (const QStringList& arguments : named) {
        SCOPED_TRACE(arguments.join(' ').toStdString());
        const Result result = run(arguments);
        EXPECT_EQ(result.exitCode, 2);
        EXPECT_TRUE(result.out.isEmpty()) << result.out.toStdString();
        EXPECT_EQ(result.err, expected);
    }

    const QString readable = home_.filePath(".cache/chromium/Default/Cache/Cache_Data");
    ASSERT_TRUE(copyTree(kChromiumFixture, readable));
    const Result found = run({"sources"});
    EXPECT_EQ(found.exitCode, 0);
    EXPECT_EQ(found.err, expected);
    EXPECT_TRUE(found.out.startsWith("chromium-simple\t" + readable + "\t")) << found.out.toStdString();
    EXPECT_EQ(found.out.count('\n'), 1);
}

TEST_F(CommandLineToolTest, EveryKindOfCacheIsRecognisedAndListed)
{
    const Result result =
        run({"sources", "--cache", WEBGLEANER_TEST_DATA "/caches/chromium-blockfile", "--cache",
             WEBGLEANER_TEST_DATA "/caches/indexdat/small", "--cache", kChromiumFixture, "--cache", kFirefoxFixture,
             "--cache", WEBGLEANER_TEST_DATA "/caches/chromium-cache-storage/CacheStorage"});
    ASSERT_EQ(result.exitCode, 0) << result.err.toStdString();
    QStringList kinds;
    for (const QString& line : result.out.split('\n', Qt::SkipEmptyParts)) {
        const QStringList fields = line.split('\t');
        ASSERT_EQ(fields.size(), 6) << line.toStdString();
        kinds << fields[0];
        EXPECT_GT(fields[2].toInt(), 0) << line.toStdString();
        EXPECT_FALSE(fields[3].isEmpty()) << line.toStdString();
        EXPECT_EQ(fields[5], "browser");
    }
    EXPECT_EQ(kinds,
              (QStringList{"chromium-blockfile", "indexdat", "chromium-simple", "firefox", "chromium-cache-storage"}));
}

TEST_F(CommandLineToolTest, SourcesNameTheProgramAndProfileOfEachCacheFound)
{
    const QString cache = home_.filePath(".config/discord/Cache/Cache_Data");
    ASSERT_TRUE(copyTree(kChromiumFixture, home_.filePath(".cache/chromium/Profile 2/Cache/Cache_Data")));
    ASSERT_TRUE(copyTree(kChromiumFixture, cache));
    const QString serviceWorkers = home_.filePath(".config/chromium/Profile 2/Service Worker/CacheStorage");
    ASSERT_TRUE(copyTree(WEBGLEANER_TEST_DATA "/caches/chromium-cache-storage/CacheStorage", serviceWorkers));
    QFile ini(QDir(program_.path()).filePath("webgleaner.ini"));
    ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
    ini.write("[cache kinds]\napps=1\n");
    ini.close();

    const Result result = run({"sources"});
    ASSERT_EQ(result.exitCode, 0) << result.err.toStdString();
    QStringList named;
    for (const QString& line : result.out.split('\n', Qt::SkipEmptyParts)) {
        const QStringList fields = line.split('\t');
        named << fields.value(0) + " " + fields.value(2) + " " + fields.value(3) + " / " + fields.value(4) + " / " +
                     fields.value(5);
    }
    EXPECT_EQ(named, (QStringList{"chromium-simple 27 Chromium / Profile 2 / browser",
                                  "chromium-cache-storage 5 Chromium / Profile 2 / browser",
                                  "chromium-simple 27 Discord / - / app"}));
}

} // namespace

TEST_F(CommandLineToolTest, APagePlanArchivesAGnomeWebPageWithThePicturesInItsCache)
{
    const QString cache = QDir(program_.path()).filePath("epiphany");
    ASSERT_TRUE(copyTree(WEBGLEANER_TEST_DATA "/caches/webkit/WebKitCache", cache + "/WebKitCache"));
    const Result sources = run({"sources", "--cache", cache});
    EXPECT_TRUE(sources.out.startsWith("webkit\t" + cache + "/WebKitCache\t10")) << sources.out.toStdString();

    const QString save = QDir(program_.path()).filePath("saved");
    ASSERT_TRUE(QDir().mkpath(save));
    const QString plans = QDir(program_.path()).filePath("plans.ini");
    QFile file(plans);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("[name]\nn1=key1\n[key1]\nname=pages\nztype=0\ntpname=*.htm(html)\nsavpath=" + QFile::encodeName(save) +
               "\n");
    file.close();
    const Result result = run({"run", "--plans", plans, "--cache", cache});
    ASSERT_EQ(result.exitCode, 0) << result.err.toStdString();
    EXPECT_TRUE(result.out.endsWith(QStringLiteral("回收完毕，共回收2条记录\n"))) << result.out.toStdString();

    // Each page's archive holds what it embeds, found by lookups in the same cache: bodies kept in records
    // and in blobs, the style sheet the browser stored decoded.
    QByteArray archives;
    for (const QString& name : QDir(save).entryList({"*.mht"}, QDir::Files))
        archives += fileBytes(QDir(save).filePath(name));
    const QString site = QStringLiteral("http://127.0.0.1:18439");
    for (const char* part : {"/index.html", "/css/style.css", "/js/app.js", "/img/logo.gif", "/img/icon.png",
                             "/img/photo.jpg", "/sub/page.html", "/big/photo-big.jpg"})
        EXPECT_TRUE(archives.contains("\r\nContent-Location:" + site.toUtf8() + part + "\r\n")) << part;
}

TEST_F(CommandLineToolTest, VersionAndHelpGoToStdoutAndExitZero)
{
    Result result = run({"--version"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, "webgleaner-cli " + ProgramVersion::number() + "\n");
    EXPECT_TRUE(result.err.isEmpty());

    for (const char* help : {"--help", "-h"}) {
        result = run({help});
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_TRUE(result.err.isEmpty());
        // Each command and option on a line of its own, named first on it.
        QStringList named;
        for (const QString& line : result.out.split('\n')) {
            if (!line.startsWith("  "))
                continue;
            const QStringList words = line.trimmed().split(' ');
            named << words[0];
            if (words[0].endsWith(',')) {
                named.last().chop(1);
                named << words[1];
            }
        }
        named.sort();
        EXPECT_EQ(named, (QStringList{"--cache", "--dry-run", "--help", "--plan", "--plans", "--quiet", "--version",
                                      "--wacz", "--warc", "-h", "-q", "list", "run", "sources", "watch"}));
    }
}

TEST_F(CommandLineToolTest, NoCacheFoundIsSaidOnStderrAndIsNoError)
{
    const QString plans = stylesPlanSavingInto(QDir(program_.path()).filePath("saved"));
    const QStringList commands[] = {{"sources"}, {"list"}, {"run", "--plans", plans, "--dry-run"}};
    for (const QStringList& arguments : commands) {
        SCOPED_TRACE(arguments.join(' ').toStdString());
        const Result result = run(arguments);
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_EQ(result.err.count('\n'), 1) << result.err.toStdString();
        EXPECT_TRUE(result.err.startsWith(QStringLiteral("webgleaner-cli: 未找到可读取的浏览器缓存")))
            << result.err.toStdString();
        EXPECT_TRUE(result.err.contains(QDir(program_.path()).filePath("webgleaner.ini"))) << "where to list caches";
        if (arguments.first() == "run")
            EXPECT_EQ(result.out, QStringLiteral("回收完毕，共回收0条记录\n"));
        else
            EXPECT_TRUE(result.out.isEmpty());
    }
}

TEST_F(CommandLineToolTest, ARunKeepsOneProgressLineOnATerminalOnly)
{
    struct Case
    {
        const char* name;
        CommandLineTool::Terminals terminals;
        bool quiet;
        bool progress;
    };
    const Case cases[] = {
        {"stderr a terminal", {false, true}, false, true},
        {"both on the terminal", {true, true}, false, true},
        {"stderr a terminal, --quiet", {false, true}, true, false},
        {"stderr not a terminal", {true, false}, false, false},
    };
    const QString summary = QStringLiteral("已保存2个，失败0个，因缓存已变跳过0个\n");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir save;
        QStringList arguments{"run", "--plans", stylesPlanSavingInto(save.path()), "--cache", kChromiumFixture};
        if (c.quiet)
            arguments << "--quiet";
        const Result result = run(arguments, c.terminals);
        ASSERT_EQ(result.exitCode, 0) << result.err.toStdString();
        EXPECT_TRUE(result.out.endsWith(QStringLiteral("回收完毕，共回收2条记录\n")));
        EXPECT_FALSE(result.out.contains('\r'));
        if (!c.progress) {
            EXPECT_EQ(result.err, summary);
            continue;
        }
        // Drawn in place, then taken off before the totals, so that they start on a clean line.
        EXPECT_TRUE(result.err.startsWith('\r')) << result.err.toStdString();
        EXPECT_TRUE(result.err.endsWith("\r\x1b[K" + summary)) << result.err.toStdString();
        EXPECT_FALSE(result.err.chopped(summary.size()).contains('\n')) << "one line, rewritten";
        EXPECT_TRUE(result.err.contains(QRegularExpression(QStringLiteral("已检索 \\d+/\\d+ 项，匹配 2 项"))))
            << result.err.toStdString();
    }
}

// A run's web archive holds each saved entry and each part of each saved page, so the page replays with its
// pictures; the package lists the pages with their text.
TEST_F(CommandLineToolTest, RunWritesWhatItSavesAsAWebArchiveAndAPackage)
{
    const QString save = QDir(program_.path()).filePath("saved");
    ASSERT_TRUE(QDir().mkpath(save));
    const QString plans = QDir(program_.path()).filePath("plans.ini");
    QFile file(plans);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("[name]\nn1=key1\n[key1]\nname=pages\nztype=0\ntpname=*.html\nsavpath=" + QFile::encodeName(save) +
               "\n");
    file.close();
    const QString warc = QDir(program_.path()).filePath("run.warc.gz");
    const QString wacz = QDir(program_.path()).filePath("run.wacz");

    const Result result =
        run({"run", "--plans", plans, "--cache",
             QStringLiteral(WEBGLEANER_TEST_DATA "/caches/chromium-pages/Cache_Data"), "--warc", warc, "--wacz", wacz});
    ASSERT_EQ(result.exitCode, 0) << result.err.toStdString();
    EXPECT_TRUE(result.err.contains(QStringLiteral("网页存档写入记录25条，未能写入0个"))) << result.err.toStdString();
    QByteArray error;
    const std::optional<QList<WarcFileReader::Record>> records = WarcFileReader::read(fileBytes(warc), &error);
    ASSERT_TRUE(records) << error.toStdString();
    QSet<QString> recorded;
    for (const WarcFileReader::Record& record : *records)
        recorded.insert(QString::fromUtf8(record.field("WARC-Target-URI")));
    // Every part of every saved page's MHTML archive has its record.
    int parts = 0;
    for (const QString& name : QDir(save).entryList(QDir::Files)) {
        const QByteArray mhtml = fileBytes(QDir(save).filePath(name));
        static const QRegularExpression location(QStringLiteral("Content-Location:(\\S+)"));
        for (const QRegularExpressionMatch& match : location.globalMatch(QString::fromUtf8(mhtml))) {
            QUrl url(match.captured(1));
            url.setFragment(QString());
            EXPECT_TRUE(recorded.contains(url.toString(QUrl::FullyEncoded))) << url.toString().toStdString();
            ++parts;
        }
    }
    EXPECT_GT(parts, 10);
    EXPECT_TRUE(QFileInfo(wacz).isFile());
    // Nothing else beside them.
    EXPECT_EQ(QDir(program_.path()).entryList({".webgleaner-*"}, QDir::Files | QDir::Hidden), QStringList());

    // Without a save there is nothing to archive.
    EXPECT_EQ(run({"run", "--plans", plans, "--cache", kChromiumFixture, "--dry-run", "--warc", warc}).exitCode, 2);
}
