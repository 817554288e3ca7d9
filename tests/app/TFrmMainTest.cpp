#include "app/TFrmMain.h"
#include "app/ProgramVersion.h"
#include "app/ResultListModel.h"
#include "library/TFrmzlk.h"
#include "library/WebPreview.h"
#include "util/GuardedApplication.h"

#include "UnreadablePlace.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QToolTip>
#include <QTreeView>
#include <QTreeWidget>
#include <stdexcept>
#include <sys/stat.h>

namespace
{

// Captions of a menu's entries, "-" for a separator.
QStringList entryTexts(const QList<QAction*>& actions)
{
    QStringList texts;
    for (const QAction* action : actions)
        texts << (action->isSeparator() ? QStringLiteral("-") : action->text());
    return texts;
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Throws from its event handler, the way a failing command handler would.
class FailingObject : public QObject
{
protected:
    bool event(QEvent* event) override
    {
        if (event->type() == QEvent::User)
            throw std::runtime_error("磁盘已满");
        return QObject::event(event);
    }
};

} // namespace

class TFrmMainTest : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        folder_ = std::make_unique<QTemporaryDir>();
        window_ = std::make_unique<TFrmMain>(folder_->path());
    }

    void cleanup()
    {
        window_.reset();
        folder_.reset();
    }

    void firstStartCreatesThePlanFileAndShowsEmptyTrees()
    {
        QVERIFY(QFile::exists(QDir(folder_->path()).filePath("plancfg.ini")));
        for (const auto& [name, root] : {std::pair{"TreeView4", "回收方案列表"}, {"TreeView5", "回收任务表"}}) {
            const auto* tree = window_->findChild<QTreeWidget*>(name);
            QVERIFY(tree);
            QCOMPARE(tree->topLevelItemCount(), 1);
            QCOMPARE(tree->topLevelItem(0)->text(0), QString::fromUtf8(root));
            QCOMPARE(tree->topLevelItem(0)->childCount(), 0);
            QVERIFY(tree->topLevelItem(0)->isExpanded());
        }
        QCOMPARE(window_->windowTitle(), QStringLiteral("WebGleaner"));
    }

    void plansLoadIntoThePlanTreeInFileOrder()
    {
        window_.reset();
        QFile file(QDir(folder_->path()).filePath("plancfg.ini"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("[last]\nlast=3\n[name]\nn3=key3\nn2=key2\nn1=key1\n[key1]\nname=一\n[key3]\nname=三\n");
        file.close();
        window_ = std::make_unique<TFrmMain>(folder_->path());
        const QTreeWidgetItem* root = window_->findChild<QTreeWidget*>("TreeView4")->topLevelItem(0);
        QCOMPARE(root->childCount(), 2);
        QCOMPARE(root->child(0)->text(0), QStringLiteral("三"));
        QCOMPARE(root->child(1)->text(0), QStringLiteral("一"));
        QVERIFY(root->isExpanded());
    }

    void commandStatesAfterStartGreyEveryPlace()
    {
        const QStringList disabled{"Action16", "Action17", "Action18", "Action19", "Action22"};
        for (const QAction* action : window_->findChildren<QAction*>(QRegularExpression("^Action\\d+$"))) {
            QCOMPARE(action->isEnabled(), !disabled.contains(action->objectName()));
            const auto* menuItem = window_->findChild<QAction*>(action->objectName() + "MenuItem");
            QVERIFY2(menuItem, qPrintable(action->objectName()));
            QCOMPARE(menuItem->isEnabled(), action->isEnabled());
        }
        for (const QToolButton* button : window_->findChild<QToolBar*>("ToolBar1")->findChildren<QToolButton*>()) {
            if (button->defaultAction() != nullptr)
                QCOMPARE(button->isEnabled(), button->defaultAction()->isEnabled());
        }
        // One enabled state: switching the action switches its menu item, tool button and pop-up item.
        window_->Action16->setEnabled(true);
        QVERIFY(window_->findChild<QAction*>("Action16MenuItem")->isEnabled());
        QVERIFY(window_->findChild<QToolButton*>("ToolButton3")->isEnabled());
        QVERIFY(window_->findChild<QMenu*>("PopupMenu3")->actions().at(1)->isEnabled());
    }

    void menusHaveTheirItemsInOrder()
    {
        const QList<QAction*> menus = window_->menuBar()->actions();
        QCOMPARE(entryTexts(menus), (QStringList{"系  统(&V)", "回收方案(&T)", "回收任务(&X)", "帮  助(&Z)"}));
        const QList<QStringList> expected{
            {"开始回收任务(&Y)", "停止回收任务(&X)", "-", "资料库(&V)", "-", "清空历史记录(&W)", "清除上网临时文件(&Z)",
             "缓存来源(&C)", "-", "版本 " + ProgramVersion::number(), "-", "退出系统(&U)"},
            {"新建回收方案(&V)", "编辑回收方案(&W)", "删除回收方案(&X)", "加入到任务表(&Y)"},
            {"从任务表中删除(&Y)", "清空任务(&Z)", "-", "边浏览边回收(&B)", "网页存档(&A)..."},
            {"帮助(&Z)", "访问主页", "关于(&W)"},
        };
        for (int i = 0; i < menus.size(); ++i)
            QCOMPARE(entryTexts(menus[i]->menu()->actions()), expected[i]);
        QCOMPARE(entryTexts(window_->findChild<QMenu*>("PopupMenu3")->actions()),
                 (QStringList{"新建回收方案", "编辑回收方案", "删除回收方案", "加入到任务表"}));
        QCOMPARE(entryTexts(window_->findChild<QMenu*>("PopupMenu4")->actions()),
                 (QStringList{"从任务表中删除", "清空任务"}));
    }

    void toolBarHasElevenButtonsWithSeparatorsAndHints()
    {
        const auto* toolBar = window_->findChild<QToolBar*>("ToolBar1");
        QStringList layout;
        for (QAction* action : toolBar->actions()) {
            if (action->isSeparator()) {
                layout << "|";
                continue;
            }
            const auto* button = qobject_cast<QToolButton*>(toolBar->widgetForAction(action));
            layout << button->objectName() + ":" + action->toolTip();
        }
        QCOMPARE(layout,
                 (QStringList{"ToolButton1:开始回收", "ToolButton2:停止回收", "|", "ToolButton5:资料库浏览", "|",
                              "ToolButton10:新建回收方案", "ToolButton3:编辑回收方案", "ToolButton8:删除回收方案",
                              "ToolButton4:加入到任务表", "|", "ToolButton14:清空任务表", "ToolButton27:从任务表删除",
                              "|", "ToolButton6:帮助", "|", "ToolButton7:退出"}));
    }

    void listsHaveTheirCaptions()
    {
        const auto* summary = window_->findChild<QTableWidget*>("ListView3");
        QCOMPARE(summary->horizontalHeaderItem(0)->text(), QStringLiteral("属性项目"));
        QCOMPARE(summary->horizontalHeaderItem(1)->text(), QStringLiteral("属性值"));
        QStringList rows;
        for (int row = 0; row < summary->rowCount(); ++row)
            rows << summary->item(row, 0)->text();
        QCOMPARE(rows, (QStringList{"◇ 名称", "◇ 文件类型", "◇ 所属站点", "◇ 网页标题包含字符", "◇ 网页内容包含字符",
                                    "◇ 浏览日期", "◇ 文件大小", "◇ 保存路径", "◇ 回收后是否删除原文件"}));
        const auto* results = window_->findChild<QTreeView*>("ListView4");
        QStringList columns;
        for (int column = 0; column < results->model()->columnCount(); ++column)
            columns << results->model()->headerData(column, Qt::Horizontal).toString();
        QCOMPARE(columns, (QStringList{"文件名称", "访问日期", "文件大小", "符合方案"}));
    }

    void hintLineRules_data()
    {
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("over"); // object name of a tool button, or of a tree or list
        QTest::addColumn<QString>("after");
        const QString scanning = QStringLiteral("正在检索数据，请稍候...");
        const QString done = QStringLiteral("回收完毕，共回收12条记录");
        QTest::newRow("button replaces ready") << "就绪"
                                               << "ToolButton1"
                                               << "开始回收";
        QTest::newRow("button keeps scanning") << scanning << "ToolButton5" << scanning;
        QTest::newRow("button replaces count") << done << "ToolButton1"
                                               << "开始回收";
        QTest::newRow("exit button has a hint") << ""
                                                << "ToolButton7"
                                                << "退出";
        QTest::newRow("tree sets ready") << "开始回收"
                                         << "TreeView4"
                                         << "就绪";
        QTest::newRow("tree keeps scanning") << scanning << "TreeView5" << scanning;
        QTest::newRow("list keeps count") << done << "ListView4" << done;
        QTest::newRow("summary keeps count") << done << "ListView3" << done;
        QTest::newRow("empty becomes ready") << ""
                                             << "ListView3"
                                             << "就绪";
    }

    void hintLineRules()
    {
        QFETCH(QString, before);
        QFETCH(QString, over);
        QFETCH(QString, after);
        window_->show();
        QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
        window_->setHintText(before);
        QWidget* target = window_->findChild<QWidget*>(over);
        QVERIFY(target);
        if (auto* view = qobject_cast<QAbstractItemView*>(target))
            target = view->viewport();
        QTest::mouseMove(target, QPoint(5, 5));
        QMouseEvent move(QEvent::MouseMove, QPointF(6, 6), target->mapToGlobal(QPointF(6, 6)), Qt::NoButton,
                         Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(target, &move);
        QCOMPARE(window_->hintText(), after);
    }

    void onlyTheExitButtonShowsNoTooltip()
    {
        window_->show();
        QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
        for (const auto& [name, tip] : {std::pair{"ToolButton7", ""}, {"ToolButton1", "开始回收"}}) {
            QToolTip::hideText();
            auto* button = window_->findChild<QToolButton*>(name);
            QHelpEvent help(QEvent::ToolTip, QPoint(5, 5), button->mapToGlobal(QPoint(5, 5)));
            QApplication::sendEvent(button, &help);
            QCOMPARE(QToolTip::isVisible() ? QToolTip::text() : QString(), QString::fromUtf8(tip));
        }
    }

    void aPlanFileThatCannotBeReadIsLoggedAndLeftAlone()
    {
        window_.reset();
        const QString planFile = QDir(folder_->path()).filePath("plancfg.ini");
        QVERIFY(QFile::remove(planFile)); // the one the first start made
        QVERIFY(UnreadablePlace::make(UnreadablePlace::Kind::Fifo, planFile));
        window_ = std::make_unique<TFrmMain>(folder_->path());
        QCOMPARE(window_->findChild<QTreeWidget*>("TreeView4")->topLevelItem(0)->childCount(), 0);
        const QByteArray log = readFile(QDir(folder_->path()).filePath("error.log"));
        QCOMPARE(log.count("\r\n"), 1);
        QVERIFY2(log.contains(QStringLiteral(":无法读取方案文件“%1”").arg(planFile).toUtf8()), log.constData());
        struct stat status = {};
        QCOMPARE(::stat(QFile::encodeName(planFile).constData(), &status), 0);
        QVERIFY(S_ISFIFO(status.st_mode));
    }

    void failuresOnTheGuiThreadAreLoggedAndTheProgramGoesOn()
    {
        FailingObject failing;
        QCoreApplication::postEvent(&failing, new QEvent(QEvent::User));
        QCoreApplication::postEvent(&failing, new QEvent(QEvent::User));
        QCoreApplication::processEvents();
        const QByteArray log = readFile(QDir(folder_->path()).filePath("error.log"));
        QCOMPARE(log.count(":磁盘已满\r\n"), 2);
        QVERIFY(window_->isEnabled());
    }

    void aResultRowOpensTheLibraryAtItsPlan()
    {
        window_.reset();
        const QString pictures = QDir(folder_->path()).filePath("pictures");
        QVERIFY(QDir().mkpath(pictures));
        QFile file(QDir(folder_->path()).filePath("plancfg.ini"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(("[name]\nn1=key1\nn2=key2\n[key1]\nname=pages\nsavpath=/x\n[key2]\nname=pictures\nsavpath=" +
                    pictures + "\n")
                       .toUtf8());
        file.close();
        window_ = std::make_unique<TFrmMain>(folder_->path());
        auto* results = window_->findChild<QTreeView*>("ListView4");
        qobject_cast<ResultListModel*>(results->model())
            ->appendRows({{"http://a/logo.gif", "2026-12-10", "487", "pictures"}});
        results->selectionModel()->select(results->model()->index(0, 0),
                                          QItemSelectionModel::Select | QItemSelectionModel::Rows);

        QString shown;
        QTimer::singleShot(0, [&shown] {
            if (TFrmzlk* library = TFrmzlk::instance()) {
                shown = library->statusText();
                library->close();
            }
        });
        emit results->doubleClicked(results->model()->index(0, 0));
        QCOMPARE(shown, QStringLiteral("当前路径：") + pictures);
        QVERIFY(TFrmzlk::instance() == nullptr);
    }

    void menusOpenedFromTheKeyboardKeepTheSelectedItemsCommands_data()
    {
        QTest::addColumn<QString>("tree");
        QTest::addColumn<QKeyCombination>("key");
        QTest::addColumn<QString>("menu");
        QTest::addColumn<QStringList>("enabled");
        const QStringList planCommands{"Action16", "Action17", "Action18"};
        QTest::newRow("plan, access key")
            << "TreeView4" << QKeyCombination(Qt::AltModifier, Qt::Key_T) << "回收方案(&T)" << planCommands;
        QTest::newRow("plan, F10") << "TreeView4" << QKeyCombination(Qt::Key_F10) << "系  统(&V)" << planCommands;
        QTest::newRow("task, access key")
            << "TreeView5" << QKeyCombination(Qt::AltModifier, Qt::Key_X) << "回收任务(&X)" << QStringList{"Action19"};
    }

    void menusOpenedFromTheKeyboardKeepTheSelectedItemsCommands()
    {
        QFETCH(QString, tree);
        QFETCH(QKeyCombination, key);
        QFETCH(QString, menu);
        QFETCH(QStringList, enabled);
        window_.reset();
        QFile file(QDir(folder_->path()).filePath("plancfg.ini"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("[last]\nlast=1\n[name]\nn1=key1\n[key1]\nname=图片\nztype=1\n");
        file.close();
        window_ = std::make_unique<TFrmMain>(folder_->path());
        window_->show();
        QVERIFY(QTest::qWaitForWindowActive(window_.get()));
        auto* plans = window_->findChild<QTreeWidget*>("TreeView4");
        auto* tasks = window_->findChild<QTreeWidget*>("TreeView5");
        auto click = [](QTreeWidget* view, QTreeWidgetItem* item) {
            QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->visualItemRect(item).center());
        };
        click(plans, plans->topLevelItem(0)->child(0));
        window_->Action18->trigger();
        auto* selected = window_->findChild<QTreeWidget*>(tree);
        selected->setFocus();
        click(selected, selected->topLevelItem(0)->child(0));
        QVERIFY(selected->hasFocus());

        QTest::keyClick(selected, key.key(), key.keyboardModifiers());
        QMenu* opened = nullptr;
        for (QAction* title : window_->menuBar()->actions()) {
            if (title->text() == menu)
                opened = title->menu();
        }
        QVERIFY(opened);
        QTRY_VERIFY(opened->isVisible());
        for (const QString& name : enabled) {
            QVERIFY2(window_->findChild<QAction*>(name)->isEnabled(), qPrintable(name));
            QVERIFY2(window_->findChild<QAction*>(name + "MenuItem")->isEnabled(), qPrintable(name));
        }
        opened->close();
        QTRY_VERIFY(!opened->isVisible());
        for (const QString& name : enabled)
            QVERIFY2(window_->findChild<QAction*>(name)->isEnabled(), qPrintable(name));
    }

    void theSummaryShowsAllNineRows()
    {
        window_->show();
        QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
        const auto* summary = window_->findChild<QTableWidget*>("ListView3");
        QCOMPARE(summary->rowCount(), 9);
        const QRect visible = summary->viewport()->rect();
        for (int row = 0; row < summary->rowCount(); ++row) {
            const QRect cell = summary->visualItemRect(summary->item(row, 0));
            QVERIFY2(visible.contains(cell), qPrintable(summary->item(row, 0)->text()));
            QVERIFY(cell.height() >= summary->fontMetrics().height());
        }
    }

    void theToolBarShowsItsPicturesAtItsSize()
    {
        const auto* toolBar = window_->findChild<QToolBar*>("ToolBar1");
        for (const QToolButton* button : toolBar->findChildren<QToolButton*>()) {
            if (button->defaultAction() != nullptr)
                QCOMPARE(button->defaultAction()->icon().actualSize(toolBar->iconSize()), toolBar->iconSize());
        }
    }

    void exitCommandClosesTheWindowAndEndsTheLoop()
    {
        window_->show();
        QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
        QTimer::singleShot(0, window_->Action7, &QAction::trigger);
        QCOMPARE(QApplication::exec(), 0);
        QVERIFY(!window_->isVisible());
    }

private:
    std::unique_ptr<QTemporaryDir> folder_;
    std::unique_ptr<TFrmMain> window_;
};

int main(int argc, char* argv[])
{
    WebPreview::prepareApplication();
    GuardedApplication application(argc, argv);
    TFrmMainTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "TFrmMainTest.moc"
