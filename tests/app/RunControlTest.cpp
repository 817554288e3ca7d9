#include "TestFolders.h"
#include "app/CommandLineTool.h"
#include "app/TFrmMain.h"
#include "app/WebArchiveDialog.h"
#include "util/GuardedApplication.h"
#include "util/Prompt.h"

#include <QAbstractItemModelTester>
#include <QAction>
#include <QCheckBox>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>
#include <QTreeWidget>
#include <unistd.h>

namespace
{

const QString kFixture = QStringLiteral(WEBGLEANER_TEST_DATA "/caches/chromium-simple/Cache_Data");
// Many entries share a cached file name with other content: their saves are numbered.
const QString kNumberingFixture = QStringLiteral(WEBGLEANER_TEST_DATA "/caches/firefox-cache2");

// Each file of `folder` by name, with a digest of its bytes.
QMap<QString, QByteArray> savedFiles(const QString& folder)
{
    QMap<QString, QByteArray> files;
    for (const QFileInfo& file : QDir(folder).entryInfoList(QDir::Files)) {
        QFile bytes(file.filePath());
        if (bytes.open(QIODevice::ReadOnly))
            files.insert(file.fileName(), QCryptographicHash::hash(bytes.readAll(), QCryptographicHash::Sha1).toHex());
    }
    return files;
}

} // namespace

// Runs and keeping from the window over a cache written by a real browser, found where a user's browser
// keeps it.
class RunControlTest : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        home_ = temporaryHome();
        program_ = std::make_unique<QTemporaryDir>();
        QVERIFY(QDir().mkpath(home_->filePath("pictures")));
        QVERIFY(QDir().mkpath(home_->filePath("pages")));
        prompts_.clear();
        Prompt::setResponder([this](const Prompt::Request& request, QString*) {
            prompts_ << request.text;
            return true;
        });
        QFile plans(QDir(program_->path()).filePath("plancfg.ini"));
        QVERIFY(plans.open(QIODevice::WriteOnly));
        plans.write(("[last]\nlast=2\n[name]\nn1=key1\nn2=key2\n"
                     "[key1]\nztype=1\nname=pictures\ntpname=*.gif,*.jpg(jpeg)\nsavpath=" +
                     home_->filePath("pictures") +
                     "\n[key2]\nztype=0\nname=chinese\ntpname=*.htm(html)\ntilStr=中文\nsavpath=" +
                     home_->filePath("pages") + "\n")
                        .toUtf8());
    }

    void cleanup()
    {
        window_.reset();
        Prompt::setResponder({});
    }

    void aRunListsEveryMatchInOrderAndCountsThem()
    {
        QVERIFY(copyFolder(kFixture, home_->filePath(".cache/chromium/Default/Cache/Cache_Data")));
        openWindow();
        addBothPlans();
        QCOMPARE(tasks(), (QStringList{"pictures", "chinese"}));

        action("Action21")->trigger();
        QVERIFY(!action("Action21")->isEnabled());
        QVERIFY(action("Action22")->isEnabled());
        QVERIFY(!taskList()->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(window_->hintText().startsWith(QStringLiteral("回收完毕")), 20000);
        QVERIFY(window_->hintText().startsWith(QStringLiteral("回收完毕，共回收7条记录")));
        // Once the copy worker has handled the run, its totals follow: the picture cached in two partitions
        // is saved once, the second copy finding the same bytes in place.
        QTRY_COMPARE_WITH_TIMEOUT(
            window_->hintText(),
            QStringLiteral("回收完毕，共回收7条记录；已保存6个（其中页面2个），失败0个，因缓存已变跳过0个，"
                           "已存在相同文件1个"),
            20000);
        QCOMPARE(QDir(home_->filePath("pictures")).entryList(QDir::Files).size(), 4);
        QCOMPARE(QDir(home_->filePath("pages")).entryList(QDir::Files).size(), 2);
        QVERIFY(action("Action21")->isEnabled());
        QVERIFY(!action("Action22")->isEnabled());
        QVERIFY(taskList()->isEnabled());

        const QAbstractItemModel* rows = results()->model();
        QCOMPARE(rows->rowCount(), 7);
        QStringList pictures;
        QStringList pages;
        for (int row = 0; row < rows->rowCount(); ++row) {
            const QString url = rows->index(row, 0).data().toString();
            (rows->index(row, 3).data().toString() == "pictures" ? pictures : pages) << url.section('/', 3);
        }
        pictures.sort();
        pages.sort();
        QCOMPARE(pictures,
                 (QStringList{"big/photo-big.jpg", "img/logo.gif", "img/logo.gif", "img/photo.jpg", "sub/shared.gif"}));
        QCOMPARE(pages, (QStringList{"gbk.html", "index.html"}));
    }

    void stoppingEnablesTheStartAtOnceAndTheCountFollows()
    {
        // Enough entries that the run is still walking when the stop comes.
        copyFixtureProfiles(4);
        openWindow();
        addBothPlans();
        action("Action21")->trigger();
        action("Action22")->trigger();
        QVERIFY(action("Action21")->isEnabled());
        QVERIFY(!action("Action22")->isEnabled());
        QVERIFY(taskList()->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(window_->hintText().startsWith(QStringLiteral("回收完毕")), 20000);
        QVERIFY(results()->model()->rowCount() < 4 * 7);
        QVERIFY(window_->hintText().startsWith(
            QStringLiteral("回收完毕，共回收%1条记录").arg(results()->model()->rowCount())));
    }

    void theWindowAndTheToolNameTheSavesAlike()
    {
        const QString cache = home_->filePath(".cache/mozilla/firefox/test.default/cache2");
        QVERIFY(copyFolder(kNumberingFixture, cache));
        writePlans("[last]\nlast=1\n[name]\nn1=key1\n[key1]\nztype=1\nname=everything\n"
                   "tpname=*.gif,*.png,*.js,*.jpg(jpeg),*.json,*.css,*.txt\nsavpath=" +
                   home_->filePath("pictures") + "\n");
        QMap<QString, QByteArray> windowRuns[2];
        for (QMap<QString, QByteArray>& saved : windowRuns) {
            QVERIFY(QDir(home_->filePath("pictures")).removeRecursively());
            QVERIFY(QDir().mkpath(home_->filePath("pictures")));
            openWindow();
            selectPlan(0);
            action("Action18")->trigger();
            action("Action21")->trigger();
            QTRY_VERIFY_WITH_TIMEOUT(window_->hintText().contains(QStringLiteral("已保存")), 20000);
            saved = savedFiles(home_->filePath("pictures"));
            window_.reset();
        }
        QVERIFY(windowRuns[0].size() > 10);
        QCOMPARE(windowRuns[1], windowRuns[0]);

        QVERIFY(QDir(home_->filePath("pictures")).removeRecursively());
        QVERIFY(QDir().mkpath(home_->filePath("pictures")));
        QString out;
        QString err;
        QTextStream outStream(&out);
        QTextStream errStream(&err);
        CommandLineTool tool(program_->path(), CacheDetector::Homes::fromEnvironment(), outStream, errStream);
        QCOMPARE(tool.run({"run", "--plans", QDir(program_->path()).filePath("plancfg.ini"), "--cache", cache}), 0);
        QCOMPARE(savedFiles(home_->filePath("pictures")), windowRuns[0]);
    }

    void theProgressBarFollowsTheWalkAndGoesAtTheEnd()
    {
        QVERIFY(copyFolder(kFixture, home_->filePath(".cache/chromium/Default/Cache/Cache_Data")));
        writeSettings("[scan]\npause_ms=0\n");
        openWindow();
        addBothPlans();
        auto* bar = window_->findChild<QProgressBar*>("ProgressBar1");
        QVERIFY(bar);
        QVERIFY(!bar->isVisible());
        action("Action21")->trigger();
        QVERIFY(bar->isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(window_->hintText().startsWith(QStringLiteral("回收完毕")), 20000);
        QVERIFY(!bar->isVisible());
        // Every entry of the cache walked, of as many as the index gave.
        QVERIFY(bar->maximum() > 7);
        QCOMPARE(bar->value(), bar->maximum());
        QVERIFY2(bar->text().contains(QStringLiteral("匹配7")), qPrintable(bar->text()));
    }

    void thePauseAfterEachWebEntryComesFromTheSettings()
    {
        QVERIFY(copyFolder(kFixture, home_->filePath(".cache/chromium/Default/Cache/Cache_Data")));
        // Long enough that the run is surely still walking when looked at.
        writeSettings("[scan]\npause_ms=400\n");
        openWindow();
        addBothPlans();
        action("Action21")->trigger();
        // The first matches show while the walk goes on, each within a drain of the batch.
        QTRY_VERIFY_WITH_TIMEOUT(results()->model()->rowCount() > 0, 5000);
        QVERIFY(action("Action22")->isEnabled());
        QVERIFY(window_->hintText().startsWith(QStringLiteral("正在检索数据")));
        action("Action22")->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(window_->hintText().startsWith(QStringLiteral("回收完毕")), 20000);
        // Stopped long before the walk could reach the last of the seven matches.
        QVERIFY(results()->model()->rowCount() < 7);
    }

    void aRunAlsoWritesTheWebArchiveChosenInItsDialog()
    {
        QVERIFY(copyFolder(kFixture, home_->filePath(".cache/chromium/Default/Cache/Cache_Data")));
        const QString archives = home_->filePath("archives");
        const QString iniFile = QDir(program_->path()).filePath("webgleaner.ini");
        {
            WebArchiveDialog dialog(iniFile);
            dialog.findChild<QCheckBox*>("WaczBox")->setChecked(true);
            dialog.findChild<QLineEdit*>("FolderEdit")->setText(archives);
            QVERIFY(!dialog.saveChoice());
            QCOMPARE(prompts_.size(), 1);
            QVERIFY(prompts_.constLast().contains(archives));
            QVERIFY(QDir().mkpath(archives));
            QVERIFY(dialog.saveChoice());
        }
        openWindow();
        addBothPlans();
        action("Action21")->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(window_->hintText().contains(QStringLiteral("网页存档写入")), 20000);
        const QStringList written = QDir(archives).entryList(QDir::Files);
        QCOMPARE(written.size(), 1);
        QVERIFY(written.constFirst().startsWith("webgleaner-") && written.constFirst().endsWith(".wacz"));
        QVERIFY(window_->hintText().contains(QStringLiteral("网页存档写入记录")));
        QVERIFY(window_->hintText().endsWith(QDir(archives).filePath(written.constFirst())));

        // A folder gone since is no archive and no success: the run says why.
        QVERIFY(QDir(archives).removeRecursively());
        action("Action21")->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(window_->hintText().contains(QStringLiteral("网页存档未能写成")), 20000);
        QVERIFY(!QFileInfo::exists(archives));
    }

    void aStartRightAfterAStopFollowsTheStoppedScan()
    {
        copyFixtureProfiles(4);
        openWindow();
        addBothPlans();
        action("Action21")->trigger();
        action("Action22")->trigger();
        action("Action21")->trigger();
        // The second run walks once the first has queued its last job, and then walks everything.
        QTRY_VERIFY_WITH_TIMEOUT(window_->hintText().contains(QStringLiteral("已保存")), 20000);
        QVERIFY(window_->hintText().startsWith(QStringLiteral("回收完毕，共回收28条记录")));
        QCOMPARE(results()->model()->rowCount(), 28);
    }

    void aStartWithoutTasksOnlyTellsTheUser()
    {
        openWindow();
        action("Action21")->trigger();
        QCOMPARE(prompts_, QStringList{"当前回收任务为空，请向任务表中加入回收方案后再开始回收！"});
        QVERIFY(action("Action21")->isEnabled());
        QVERIFY(window_->hintText().isEmpty());
    }

    void aPlanIsATaskOnceAndLeavesTheTaskListWithItsDeletion()
    {
        openWindow();
        addBothPlans();
        selectPlan(0);
        action("Action18")->trigger();
        QCOMPARE(prompts_, QStringList{"此方案已存在于任务表中，请选择其他方案！"});
        QVERIFY(!window_->TreeView5DragOver(taskList()));
        planTree()->setCurrentItem(planTree()->topLevelItem(0)); // the root adds nothing
        window_->TreeView5DragDrop(planTree());
        QCOMPARE(tasks(), (QStringList{"pictures", "chinese"}));

        selectPlan(0);
        prompts_.clear();
        action("Action17")->trigger(); // answered Yes
        QCOMPARE(tasks(), QStringList{"chinese"});
    }

    void aRunWithoutAnyBrowserCacheSaysSo()
    {
        openWindow();
        addBothPlans();
        action("Action21")->trigger();
        QTRY_COMPARE_WITH_TIMEOUT(window_->hintText(), TFrmMain::kNoCacheText, 20000);
        QCOMPARE(results()->model()->rowCount(), 0);
    }

    void anUnreadableCacheFoundIsLoggedAndTheOthersAreHarvested()
    {
        if (::geteuid() == 0)
            QSKIP("root reads files without permission");
        QVERIFY(copyFolder(kFixture, home_->filePath(".cache/chromium/Default/Cache/Cache_Data")));
        const QString unreadable = home_->filePath(".cache/chromium/Profile 1/Cache/Cache_Data");
        QVERIFY(copyFolder(kFixture, unreadable));
        QVERIFY(QFile::setPermissions(unreadable, {}));
        openWindow();
        addBothPlans();
        action("Action21")->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(window_->hintText().startsWith(QStringLiteral("回收完毕，共回收7条记录；")), 20000);
        QFile::setPermissions(unreadable, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        const QString logged = QString::fromUtf8(fileBytes(QDir(program_->path()).filePath("error.log")));
        // One line for the one cache.
        QCOMPARE(logged.count(QStringLiteral("没有权限")), 1);
        QVERIFY2(logged.contains(QStringLiteral("无法读取缓存文件夹“%1”：没有权限").arg(unreadable)),
                 qPrintable(logged));
    }

    void clearingTheHistoryLeavesTheWindowAtWorkAndSaysWhenItIsDone()
    {
        openWindow();
        QAction* clear = action("Action1");
        clear->trigger();
        QCOMPARE(prompts_, QStringList{"确实要清除IE历史记录吗？"});
        // The end is posted from the worker, so the command has returned before it.
        QVERIFY(!clear->isEnabled());
        QCOMPARE(window_->hintText(), QStringLiteral("正在清除历史记录，请稍候..."));
        QTRY_VERIFY_WITH_TIMEOUT(clear->isEnabled(), 20000);
        QCOMPARE(window_->hintText(), QStringLiteral("历史记录清除完毕。"));
    }

    // Keeping: its command, what it greys and shows, and its end by command and by closing.
    void anEmptyTaskListIsSaidAndNothingIsKept()
    {
        openWindow();
        keepCommand()->trigger();
        QCOMPARE(prompts_, QStringList{"当前回收任务为空，请向任务表中加入回收方案后再边浏览边回收！"});
        QVERIFY(!keepCommand()->isChecked());
        QVERIFY(!menuItem()->isChecked());
        QVERIFY(!keepStatus()->isVisible());
        QVERIFY(action("Action21")->isEnabled());
    }

    void keepingGreysTheRunAndTheTaskListUntilItIsChosenAgain()
    {
        QVERIFY(copyFolder(kFixture, home_->filePath(".cache/chromium/Default/Cache/Cache_Data")));
        openWindow();
        addThePlan();
        QAbstractItemModelTester tester(results()->model(), QAbstractItemModelTester::FailureReportingMode::QtTest);

        menuItem()->trigger();
        QVERIFY(keepCommand()->isChecked());
        QVERIFY(menuItem()->isChecked());
        QVERIFY(!action("Action21")->isEnabled());
        QVERIFY(!taskList()->isEnabled());
        QVERIFY(keepStatus()->isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(keepStatus()->text().startsWith(QStringLiteral("正在守候，已保存")), 10000);
        QVERIFY(keepStatus()->toolTip().contains(QStringLiteral("守候：Chromium")));
        QVERIFY(window_->hintText().startsWith(QStringLiteral("正在守候：Chromium")));

        keepCommand()->trigger();
        QVERIFY(!keepCommand()->isChecked());
        QVERIFY(!menuItem()->isChecked());
        QVERIFY(!keepStatus()->isVisible());
        QVERIFY(action("Action21")->isEnabled());
        QVERIFY(taskList()->isEnabled());
        QTRY_VERIFY(window_->hintText().startsWith(QStringLiteral("边浏览边回收已停止；已保存")));
    }

    void noKeepingWhileARunWalks()
    {
        QVERIFY(copyFolder(kFixture, home_->filePath(".cache/chromium/Default/Cache/Cache_Data")));
        openWindow();
        addThePlan();
        action("Action21")->trigger();
        QVERIFY(!keepCommand()->isEnabled());
        QVERIFY(!menuItem()->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(window_->hintText().startsWith(QStringLiteral("回收完毕")), 20000);
        QVERIFY(keepCommand()->isEnabled());
        action("Action21")->trigger();
        action("Action22")->trigger();
        QVERIFY(keepCommand()->isEnabled());
    }

    void noCacheToKeepIsSaidAndTheCommandGoesOff()
    {
        openWindow();
        addThePlan();
        keepCommand()->trigger();
        QTRY_COMPARE_WITH_TIMEOUT(window_->hintText(), TFrmMain::kNoCacheToKeepText, 10000);
        QVERIFY(!keepCommand()->isChecked());
        QVERIFY(!keepStatus()->isVisible());
        QVERIFY(action("Action21")->isEnabled());
        QVERIFY(taskList()->isEnabled());
    }

    // Given up and asked for again before the caches are found, then closed at once: the one finding goes
    // on for the second start, and closing waits for it and for the keeper.
    void startsAndStopsInQuickSuccessionAndClosingEndsKeeping()
    {
        QVERIFY(copyFolder(kFixture, home_->filePath(".cache/chromium/Default/Cache/Cache_Data")));
        openWindow();
        addThePlan();
        keepCommand()->trigger();
        keepCommand()->trigger();
        keepCommand()->trigger();
        QVERIFY(keepCommand()->isChecked());
        QTRY_VERIFY_WITH_TIMEOUT(keepStatus()->text().startsWith(QStringLiteral("正在守候，已保存")), 10000);
        QVERIFY(window_->close());
        keepCommand()->trigger(); // a closed window keeps nothing, whatever comes
        window_.reset();

        openWindow();
        addThePlan();
        keepCommand()->trigger();
        QVERIFY(window_->close());
    }

private:
    // The fixture cache in `count` profiles of one browser.
    void copyFixtureProfiles(int count) const
    {
        for (int copy = 0; copy < count; ++copy)
            QVERIFY(copyFolder(
                kFixture, home_->filePath(QStringLiteral(".cache/chromium/Profile %1/Cache/Cache_Data").arg(copy))));
    }

    void writePlans(const QString& text) const
    {
        QFile plans(QDir(program_->path()).filePath("plancfg.ini"));
        QVERIFY(plans.open(QIODevice::WriteOnly | QIODevice::Truncate));
        plans.write(text.toUtf8());
    }

    void writeSettings(const QByteArray& text) const
    {
        QFile settings(QDir(program_->path()).filePath("webgleaner.ini"));
        QVERIFY(settings.open(QIODevice::WriteOnly | QIODevice::Truncate));
        settings.write(text);
    }

    void openWindow()
    {
        window_ = std::make_unique<TFrmMain>(program_->path());
        window_->show();
        QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
    }

    QAction* action(const char* name) const { return window_->findChild<QAction*>(name); }
    QAction* keepCommand() const { return action("KeepAction"); }
    QAction* menuItem() const { return action("KeepActionMenuItem"); }
    QLabel* keepStatus() const { return window_->findChild<QLabel*>("KeepStatusLabel"); }
    QTreeWidget* planTree() const { return window_->findChild<QTreeWidget*>("TreeView4"); }
    QTreeWidget* taskList() const { return window_->findChild<QTreeWidget*>("TreeView5"); }
    QTreeView* results() const { return window_->findChild<QTreeView*>("ListView4"); }

    void selectPlan(int index) const
    {
        QTreeWidgetItem* plan = planTree()->topLevelItem(0)->child(index);
        QTest::mouseClick(planTree()->viewport(), Qt::LeftButton, {}, planTree()->visualItemRect(plan).center());
    }

    void addThePlan() const
    {
        selectPlan(0);
        action("Action18")->trigger();
        QCOMPARE(tasks(), QStringList{"pictures"});
    }

    // The first plan by command, the second by dropping it from the plan tree.
    void addBothPlans() const
    {
        selectPlan(0);
        action("Action18")->trigger();
        selectPlan(1);
        QVERIFY(window_->TreeView5DragOver(planTree()));
        window_->TreeView5DragDrop(planTree());
    }

    QStringList tasks() const
    {
        QStringList names;
        const QTreeWidgetItem* root = taskList()->topLevelItem(0);
        for (int i = 0; i < root->childCount(); ++i)
            names << root->child(i)->text(0);
        return names;
    }

    std::unique_ptr<QTemporaryDir> home_;
    std::unique_ptr<QTemporaryDir> program_;
    std::unique_ptr<TFrmMain> window_;
    QStringList prompts_;
};

int main(int argc, char* argv[])
{
    GuardedApplication application(argc, argv);
    RunControlTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "RunControlTest.moc"
