#pragma once

#include "app/ErrorLog.h"
#include "app/FileLocations.h"
#include "engine/run/HarvestRun.h"
#include "engine/run/tScanBuf.h"
#include "plans/FileTypeLists.h"
#include "util/BackgroundWorker.h"

#include <QElapsedTimer>
#include <QMainWindow>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <vector>

class CacheKeeper;
class CopyQueue;
class PlanFile;
class ProgramCache;
class WindowKeepObserver;
class WindowScanObserver;
class WorkerThread;
class tScanBuf;
struct CacheLocation;
struct KeepTotals;
struct ResultRow;
struct ScanProgress;
class QAction;
class QLabel;
class QMenu;
class QProgressBar;
class QTableWidget;
class QToolBar;
class QToolButton;
class QTreeView;
class QTreeWidget;
class ResultListModel;
class TFrmOpt;
class QTreeWidgetItem;
struct StrucRec;

// The main window: plan tree, task list, plan summary, results list, and the commands on its menus,
// tool bar and pop-up menus. Each command is one QAction, so one enabled state greys all its places.
class TFrmMain : public QMainWindow
{
    Q_OBJECT

public:
    // `programFolder` holds plancfg.ini, error.log and the help file.
    explicit TFrmMain(const QString& programFolder, QWidget* parent = nullptr);
    explicit TFrmMain(const FileLocations& files, QWidget* parent = nullptr);
    ~TFrmMain() override;

    QString hintText() const;
    void setHintText(const QString& text);

    // The hint-line rules for the mouse moving over a tool button and over the trees and lists.
    void ToolButton1MouseMove(const QToolButton* button);
    void TreeView4MouseMove();

    // Writes one failure to error.log; installed as the application-wide handler.
    void AppException(const QString& message) const;

    TFrmOpt* editor() const { return editor_; }

    // The plan summary: the nine value cells show `plan`, or are emptied for nullptr.
    void ShowOpt(const StrucRec* plan);

    static const QString kNoCacheText;
    static const QString kNoCacheToKeepText;
    // The scanner's pause after each web entry unless webgleaner.ini says otherwise ([scan] pause_ms).
    static constexpr std::chrono::milliseconds kDefaultPause{10};

    // Whether the task list takes a drag from `source` (the plan tree only), and the drop of one.
    bool TreeView5DragOver(const QObject* source) const;
    void TreeView5DragDrop(const QObject* source);

    QAction* Action21 = nullptr;            // 开始回收任务
    QAction* Action22 = nullptr;            // 停止回收任务
    QAction* Action3 = nullptr;             // 资料库
    QAction* Action1 = nullptr;             // 清空历史记录
    QAction* Action2 = nullptr;             // 清除上网临时文件
    QAction* Action7 = nullptr;             // 退出系统
    QAction* Action15 = nullptr;            // 新建回收方案
    QAction* Action16 = nullptr;            // 编辑回收方案
    QAction* Action17 = nullptr;            // 删除回收方案
    QAction* Action18 = nullptr;            // 加入到任务表
    QAction* Action19 = nullptr;            // 从任务表中删除
    QAction* Action20 = nullptr;            // 清空任务
    QAction* Action24 = nullptr;            // 帮助
    QAction* Action5 = nullptr;             // 访问主页
    QAction* Action27 = nullptr;            // 关于
    QAction* cacheSourcesAction_ = nullptr; // 缓存来源
    QAction* webArchiveAction_ = nullptr;   // 网页存档
    QAction* keepAction_ = nullptr;         // 边浏览边回收, checked while keeping

protected:
    void closeEvent(QCloseEvent* event) override;
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void createActions();
    void createMenus();
    void createToolBar();
    void createPanes();
    void createStatusBar();
    void placeOnScreen();

    void FormCreate();
    void LoadCfg();
    void FrmInit();
    void FormClose();
    void Action7Execute();

    // The plan tree and its commands.
    const StrucRec* selectedPlan() const;
    void TreeView4Click();
    void TreeView4Exit();
    void TreeView4ContextPopup(const QPoint& position);
    void TreeView4DblClick();
    void Action15Execute();
    void Action16Execute();
    void ModifyFa();
    void DelPlan();
    void addPlanNode(const StrucRec& plan);
    // A deleted plan leaves the task list with it.
    void removeTasksOf(const StrucRec& plan);

    // The task list.
    void AddToRw();
    void Action19Execute();
    void Action20Execute();
    void TreeView5Click();
    void TreeView5Exit();
    void TreeView5ContextPopup(const QPoint& position);
    void deleteSelectedTask();

    // Clean-up, help, about and home page.
    void Action1Execute();
    void Action2Execute();
    void Action24Execute();
    void Action5Execute();
    void Action27Execute();

    // The library window, on its own or at the plan of a result row.
    void Action3Execute();
    void ListView4DblClick();

    // Runs.
    struct Run;
    // Copies of the task list's plans: editing or deleting a plan meanwhile changes nothing a harvest reads.
    tScanBuf::RunPlanList taskPlans() const;
    void StartGet();
    void Action22Execute();
    void scanRowsArrived(int run, const QList<ResultRow>& rows);
    void scanHintArrived(int run, const QString& text);
    void scanProgressArrived(int run, const ScanProgress& progress);
    static QString timeLeftText(qint64 seconds);
    void scanEnded(int run);
    // `archiveText` says where the run's web archive went, or why it did not; empty for a run without one.
    void runHarvested(int run, const HarvestRun::Totals& totals, const QString& archiveText);
    void showWebArchiveSetting();
    // Finds the caches afresh into programCache_, on the worker thread that calls it: listing the user's
    // folders and opening the caches may wait on the disk. Tells this window when run `run` (> 0) found none.
    // `found` (may be empty) is given the caches found, on the same thread, before the walk.
    std::function<void()> cacheFinder(int run, std::function<void(const QList<CacheLocation>&)> found = {});
    void historyCleared(bool cleared);

    // Keeping: harvesting the task list's plans as the user browses, until the command is given again.
    // No run starts while keeping, nor keeping while a run walks: keeping's start reads the whole caches
    // as a run would.
    struct Keeping;
    void keepingToggled(bool keep);
    void startKeeping();
    void stopKeeping();
    void keepCachesFound(const QList<CacheLocation>& caches);
    void keepingStarted(int keeping, const QStringList& kept, const QStringList& notKept);
    void keepingNotice(int keeping, const QString& text);
    void keepRowsArrived(int keeping, const QList<ResultRow>& rows);
    void keepTotalsChanged(int keeping, const KeepTotals& totals);
    void keepingEnded(int keeping, const KeepTotals& totals);
    // Keeping's end on the window, asked for or not found: the commands it greyed are back.
    void keepingGone();
    // Writes the totals of a harvest that left something behind to the log.
    void logLeftBehind(const HarvestRun::Totals& totals) const;
    std::chrono::milliseconds pauseAfterWebEntry() const;
    void showCacheSources();

    const FileLocations files_;
    ErrorLog errorLog_;
    std::unique_ptr<PlanFile> planFile_;
    FileTypeLists typeLists_;
    TFrmOpt* editor_ = nullptr;

    // Read by the engine's workers without a lock; written only here, on the GUI thread.
    std::atomic<bool> closingFlag_{false};
    std::shared_ptr<ProgramCache> programCache_;
    std::unique_ptr<CopyQueue> copyQueue_;
    std::unique_ptr<BackgroundWorker> copyWorker_;
    std::unique_ptr<BackgroundWorker> historyClearer_; // while "清空历史记录" is at work
    // Scans not yet ended, the newest last. Only the newest one's reports reach the window; a stopped
    // scan that is still finishing its entry stays here until it ends.
    std::vector<std::unique_ptr<Run>> runs_;
    int currentRun_ = 0;
    QString lastHintText_;   // the current run's last text, which the harvest's totals follow
    QString harvestSummary_; // the current run's totals once the copy worker has handled it
    QElapsedTimer runClock_; // since the newest run started
    bool scanning_ = false;  // the newest run has neither ended nor been stopped
    bool noCacheFound_ = false;

    // While keeping is asked for, the caches are first found on keepFinder_, then kept by keeping_. Both
    // are made and ended on the GUI thread.
    std::unique_ptr<WorkerThread> keepFinder_;
    std::unique_ptr<Keeping> keeping_;
    // Keepings stopped and not yet ended: each keeper's end, which waits for the copy worker a moment, is
    // waited for on a thread of its own.
    std::vector<std::unique_ptr<Keeping>> keepingsStopped_;
    int currentKeeping_ = 0;       // the keeping whose reports the window shows
    QLabel* keepStatus_ = nullptr; // on the status bar while keeping

    QToolBar* ToolBar1 = nullptr;
    QList<QToolButton*> toolButtons_;
    QLabel* hintLine_ = nullptr;
    QProgressBar* runProgress_ = nullptr; // beside the hint line while a run walks
    QTreeWidget* TreeView4 = nullptr;     // plans
    QTreeWidget* TreeView5 = nullptr;     // tasks
    QTableWidget* ListView3 = nullptr;    // plan summary
    QTreeView* ListView4 = nullptr;       // results
    ResultListModel* results_ = nullptr;
    QMenu* PopupMenu3 = nullptr;
    QMenu* PopupMenu4 = nullptr;
};
