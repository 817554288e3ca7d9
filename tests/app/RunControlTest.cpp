#include "TestFolders.h"
#include "app/GuardedApplication.h"
#include "app/TFrmMain.h"
#include "util/Prompt.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>
#include <QTreeWidget>
#include <unistd.h>

namespace
{

const QString kFixture = QStringLiteral(WEBGLEANER_TEST_DATA "/caches/chromium-simple/Cache_Data");

} // namespace

// Runs from the window over a cache written by a real browser, found where a user's browser keeps it.
class RunControlTest : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        home_ = std::make_unique<QTemporaryDir>();
        program_ = std::make_unique<QTemporaryDir>();
        qputenv("HOME", home_->path().toUtf8());
        qunsetenv("XDG_CACHE_HOME");
        qunsetenv("XDG_CONFIG_HOME");
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
        for (int copy = 0; copy < 4; ++copy)
            QVERIFY(copyFolder(
                kFixture, home_->filePath(QStringLiteral(".cache/chromium/Profile %1/Cache/Cache_Data").arg(copy))));
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

private:
    void openWindow()
    {
        window_ = std::make_unique<TFrmMain>(program_->path());
        window_->show();
        QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
    }

    QAction* action(const char* name) const { return window_->findChild<QAction*>(name); }
    QTreeWidget* planTree() const { return window_->findChild<QTreeWidget*>("TreeView4"); }
    QTreeWidget* taskList() const { return window_->findChild<QTreeWidget*>("TreeView5"); }
    QTreeView* results() const { return window_->findChild<QTreeView*>("ListView4"); }

    void selectPlan(int index) const
    {
        QTreeWidgetItem* plan = planTree()->topLevelItem(0)->child(index);
        QTest::mouseClick(planTree()->viewport(), Qt::LeftButton, {}, planTree()->visualItemRect(plan).center());
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
