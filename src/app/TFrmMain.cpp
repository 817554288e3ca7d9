#include "app/TFrmMain.h"

#include "app/CacheSourcesDialog.h"
#include "app/HelpCommands.h"
#include "app/ProgramVersion.h"
#include "app/ResultListModel.h"
#include "app/TaskTreeItem.h"
#include "app/WebArchiveDialog.h"
#include "app/WebArchiveSetting.h"
#include "app/WindowKeepObserver.h"
#include "app/WindowScanObserver.h"
#include "cleanup/CleanupCommands.h"
#include "engine/cache/CacheDetector.h"
#include "engine/cache/ProgramCache.h"
#include "engine/keep/CacheKeeper.h"
#include "engine/run/CacheRefresh.h"
#include "engine/run/CopyQueue.h"
#include "engine/run/HarvestRun.h"
#include "engine/run/tScanBuf.h"
#include "engine/run/thCpy.h"
#include "library/TFrmzlk.h"
#include "plans/PlanFile.h"
#include "plans/PlanTreeItem.h"
#include "plans/TFrmOpt.h"
#include "util/DateText.h"
#include "util/GuardedApplication.h"
#include "util/IniFile.h"
#include "util/Prompt.h"
#include "util/SizedIcon.h"
#include "util/WorkerThread.h"

#include <QAction>
#include <QCloseEvent>
#include <QDropEvent>
#include <QFocusEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QScreen>
#include <QShortcut>
#include <QSplitter>
#include <QStatusBar>
#include <QStyle>
#include <QTableWidget>
#include <QToolBar>
#include <QToolButton>
#include <QTreeView>
#include <QTreeWidget>
#include <array>
#include <climits>

namespace
{

const QString kScanningMarker = QStringLiteral("正在检索数据");
const QString kScanningOrDoneMarkers[] = {QStringLiteral("正在检索"), QStringLiteral("记录")};
const QString kReady = QStringLiteral("就绪");
const char kHintProperty[] = "webgleanerHint";

// Losing the focus to a pop-up menu, to the menu bar (Alt, an access key, F10) or to another window is
// not leaving a tree for another control: the menus must offer the tree's commands as it left them.
bool leavesForAnotherControl(const QFocusEvent& event)
{
    const Qt::FocusReason reason = event.reason();
    return reason != Qt::PopupFocusReason && reason != Qt::ActiveWindowFocusReason && reason != Qt::MenuBarFocusReason;
}

// A stored plan date in the program's one date form; a text that is no date shows as it is.
QString dateShown(const QString& stored)
{
    const QDate date = DateText::parse(stored);
    return date.isValid() ? DateText::format(date) : stored;
}

// The status bar's word on keeping while it goes on.
QString keepingStatusText(const KeepTotals& totals)
{
    QString text = QStringLiteral("正在守候，已保存%1个").arg(totals.saves.saved);
    if (totals.saves.failed > 0)
        text += QStringLiteral("，失败%1个").arg(totals.saves.failed);
    return text;
}

QFont windowFont()
{
    QFont font(QStringLiteral("宋体"));
    font.setPixelSize(12);
    return font;
}

} // namespace

// One scan and what reports it to the window; the scan goes first, as it uses the observer to the end.
struct TFrmMain::Run
{
    int id = 0;
    std::unique_ptr<WindowScanObserver> observer;
    std::unique_ptr<tScanBuf> scanner;
};

// Keeping and what reports it to the window; the keeper goes first, as it uses the observer to the end, and
// the thread that waits for it before the keeper.
struct TFrmMain::Keeping
{
    int id = 0;
    std::unique_ptr<WindowKeepObserver> observer;
    std::unique_ptr<CacheKeeper> keeper;
    std::unique_ptr<WorkerThread> stopper; // once stopped: waits for the keeper's end
};

const QString TFrmMain::kNoCacheText = QStringLiteral("未找到浏览器缓存，共回收0条记录");
const QString TFrmMain::kNoCacheToKeepText = QStringLiteral("未找到浏览器缓存，无法边浏览边回收");

TFrmMain::TFrmMain(const QString& programFolder, QWidget* parent)
    : TFrmMain(FileLocations::allIn(programFolder), parent)
{}

TFrmMain::TFrmMain(const FileLocations& files, QWidget* parent)
    : QMainWindow(parent), files_(files), errorLog_(files.stateFolder())
{
    setWindowTitle(QStringLiteral("WebGleaner"));
    setFont(windowFont());
    createActions();
    createMenus();
    createToolBar();
    createPanes();
    createStatusBar();
    placeOnScreen();
    FormCreate();
    editor_ = new TFrmOpt(*planFile_, typeLists_, this);
    connect(editor_, &TFrmOpt::newPlanSaved, this, &TFrmMain::addPlanNode);
    connect(editor_, &TFrmOpt::planSaved, this, &TFrmMain::TreeView4Click);
}

TFrmMain::~TFrmMain()
{
    // Also when the window is destroyed without having been closed (tests, failed start-up).
    FormClose();
    GuardedApplication::setFailureHandler({});
}

void TFrmMain::createActions()
{
    struct Command
    {
        QAction** action;
        const char* name;
        const char* caption;
        const char* hint; // tool button hint; empty when the command has no tool button
        const char* themeIcon;
        QStyle::StandardPixmap fallbackIcon;
    };
    const Command commands[] = {
        {&Action21, "Action21", "开始回收任务", "开始回收", "media-playback-start", QStyle::SP_MediaPlay},
        {&Action22, "Action22", "停止回收任务", "停止回收", "media-playback-stop", QStyle::SP_MediaStop},
        {&Action3, "Action3", "资料库", "资料库浏览", "folder-open", QStyle::SP_DirOpenIcon},
        {&Action1, "Action1", "清空历史记录", "", "edit-clear-history", QStyle::SP_BrowserReload},
        {&Action2, "Action2", "清除上网临时文件", "", "user-trash", QStyle::SP_TrashIcon},
        {&Action7, "Action7", "退出系统", "退出", "application-exit", QStyle::SP_DialogCloseButton},
        {&Action15, "Action15", "新建回收方案", "新建回收方案", "document-new", QStyle::SP_FileIcon},
        {&Action16, "Action16", "编辑回收方案", "编辑回收方案", "document-properties",
         QStyle::SP_FileDialogDetailedView},
        {&Action17, "Action17", "删除回收方案", "删除回收方案", "edit-delete", QStyle::SP_DialogDiscardButton},
        {&Action18, "Action18", "加入到任务表", "加入到任务表", "list-add", QStyle::SP_ArrowRight},
        {&Action19, "Action19", "从任务表中删除", "从任务表删除", "list-remove", QStyle::SP_ArrowLeft},
        {&Action20, "Action20", "清空任务", "清空任务表", "edit-clear-all", QStyle::SP_DialogResetButton},
        {&Action24, "Action24", "帮助", "帮助", "help-contents", QStyle::SP_DialogHelpButton},
        {&Action5, "Action5", "访问主页", "", "go-home", QStyle::SP_DirHomeIcon},
        {&Action27, "Action27", "关于", "", "help-about", QStyle::SP_MessageBoxInformation},
    };
    for (const Command& command : commands) {
        auto* action = new QAction(QString::fromUtf8(command.caption), this);
        action->setObjectName(QString::fromLatin1(command.name));
        action->setIcon(
            QIcon::fromTheme(QString::fromLatin1(command.themeIcon), style()->standardIcon(command.fallbackIcon)));
        action->setToolTip(QString::fromUtf8(command.hint));
        action->setIconVisibleInMenu(true);
        *command.action = action;
    }
    connect(Action7, &QAction::triggered, this, &TFrmMain::Action7Execute);
    connect(Action15, &QAction::triggered, this, &TFrmMain::Action15Execute);
    connect(Action16, &QAction::triggered, this, &TFrmMain::Action16Execute);
    connect(Action17, &QAction::triggered, this, &TFrmMain::DelPlan);
    connect(Action18, &QAction::triggered, this, &TFrmMain::AddToRw);
    connect(Action19, &QAction::triggered, this, &TFrmMain::Action19Execute);
    connect(Action20, &QAction::triggered, this, &TFrmMain::Action20Execute);
    connect(Action3, &QAction::triggered, this, &TFrmMain::Action3Execute);
    connect(Action1, &QAction::triggered, this, &TFrmMain::Action1Execute);
    connect(Action2, &QAction::triggered, this, &TFrmMain::Action2Execute);
    connect(Action24, &QAction::triggered, this, &TFrmMain::Action24Execute);
    connect(Action5, &QAction::triggered, this, &TFrmMain::Action5Execute);
    connect(Action27, &QAction::triggered, this, &TFrmMain::Action27Execute);
    cacheSourcesAction_ = new QAction(QStringLiteral("缓存来源"), this);
    cacheSourcesAction_->setObjectName(QStringLiteral("CacheSourcesAction"));
    connect(cacheSourcesAction_, &QAction::triggered, this, &TFrmMain::showCacheSources);
    webArchiveAction_ = new QAction(QStringLiteral("网页存档"), this);
    webArchiveAction_->setObjectName(QStringLiteral("WebArchiveAction"));
    connect(webArchiveAction_, &QAction::triggered, this, &TFrmMain::showWebArchiveSetting);
    connect(Action21, &QAction::triggered, this, &TFrmMain::StartGet);
    connect(Action22, &QAction::triggered, this, &TFrmMain::Action22Execute);
    keepAction_ = new QAction(QStringLiteral("边浏览边回收"), this);
    keepAction_->setObjectName(QStringLiteral("KeepAction"));
    keepAction_->setCheckable(true);
    keepAction_->setToolTip(QStringLiteral("浏览器每写完一个匹配任务表中方案的缓存项就保存它，再选一次停止"));
    // Triggered, not toggled: unchecking it from here (nothing to keep) is no command.
    connect(keepAction_, &QAction::triggered, this, &TFrmMain::keepingToggled);
}

void TFrmMain::createMenus()
{
    // The menu items carry their own access letters; the actions keep the plain captions for the
    // tool bar and the pop-up menus.
    struct Item
    {
        QAction* action; // nullptr for a separator
        const char* text;
    };
    auto addMenu = [this](const char* title, std::initializer_list<Item> items) {
        QMenu* menu = menuBar()->addMenu(QString::fromUtf8(title));
        for (const Item& item : items) {
            if (item.action == nullptr) {
                menu->addSeparator();
                continue;
            }
            auto* entry = new QAction(item.action->icon(), QString::fromUtf8(item.text), menu);
            entry->setObjectName(item.action->objectName() + QStringLiteral("MenuItem"));
            entry->setEnabled(item.action->isEnabled());
            if (item.action->isCheckable()) {
                entry->setCheckable(true);
                entry->setChecked(item.action->isChecked());
                connect(item.action, &QAction::toggled, entry, &QAction::setChecked);
            }
            connect(item.action, &QAction::changed, entry, [entry, action = item.action] {
                entry->setEnabled(action->isEnabled());
                entry->setVisible(action->isVisible());
            });
            connect(entry, &QAction::triggered, item.action, &QAction::trigger);
            menu->addAction(entry);
        }
    };
    menuBar()->setObjectName(QStringLiteral("ActionMainMenuBar1"));
    addMenu("系  统(&V)", {{Action21, "开始回收任务(&Y)"},
                           {Action22, "停止回收任务(&X)"},
                           {nullptr, ""},
                           {Action3, "资料库(&V)"},
                           {nullptr, ""},
                           {Action1, "清空历史记录(&W)"},
                           {Action2, "清除上网临时文件(&Z)"},
                           {cacheSourcesAction_, "缓存来源(&C)"},
                           {nullptr, ""},
                           {Action7, "退出系统(&U)"}});
    // The version, greyed: something to read, not a command, so set apart above the exit that ends the
    // menu just added.
    QMenu* systemMenu = menuBar()->actions().constLast()->menu();
    QAction* exitEntry = systemMenu->actions().constLast();
    auto* version = new QAction(QStringLiteral("版本 %1").arg(ProgramVersion::number()), systemMenu);
    version->setObjectName(QStringLiteral("VersionMenuItem"));
    version->setEnabled(false);
    systemMenu->insertAction(exitEntry, version);
    systemMenu->insertSeparator(exitEntry);
    addMenu("回收方案(&T)", {{Action15, "新建回收方案(&V)"},
                             {Action16, "编辑回收方案(&W)"},
                             {Action17, "删除回收方案(&X)"},
                             {Action18, "加入到任务表(&Y)"}});
    addMenu("回收任务(&X)", {{Action19, "从任务表中删除(&Y)"},
                             {Action20, "清空任务(&Z)"},
                             {nullptr, ""},
                             {keepAction_, "边浏览边回收(&B)"},
                             {webArchiveAction_, "网页存档(&A)..."}});
    addMenu("帮  助(&Z)", {{Action24, "帮助(&Z)"}, {Action5, "访问主页"}, {Action27, "关于(&W)"}});

    // F10 opens the first menu, as on other desktops; Alt and the access keys are the menu bar's own.
    auto* menuKey = new QShortcut(QKeySequence(Qt::Key_F10), this);
    connect(menuKey, &QShortcut::activated, this,
            [this] { menuBar()->setActiveAction(menuBar()->actions().constFirst()); });

    PopupMenu3 = new QMenu(this);
    PopupMenu3->setObjectName(QStringLiteral("PopupMenu3"));
    PopupMenu3->addActions({Action15, Action16, Action17, Action18});
    PopupMenu4 = new QMenu(this);
    PopupMenu4->setObjectName(QStringLiteral("PopupMenu4"));
    PopupMenu4->addActions({Action19, Action20});
}

void TFrmMain::createToolBar()
{
    ToolBar1 = addToolBar(QStringLiteral("ToolBar1"));
    ToolBar1->setObjectName(QStringLiteral("ToolBar1"));
    ToolBar1->setMovable(false);
    ToolBar1->setFloatable(false);
    ToolBar1->setIconSize(QSize(32, 32));
    ToolBar1->setToolButtonStyle(Qt::ToolButtonIconOnly);
    ToolBar1->setContextMenuPolicy(Qt::PreventContextMenu);

    struct Button
    {
        QAction* action; // nullptr for a separator
        const char* name;
    };
    const Button buttons[] = {
        {Action21, "ToolButton1"},
        {Action22, "ToolButton2"},
        {nullptr, ""},
        {Action3, "ToolButton5"},
        {nullptr, ""},
        {Action15, "ToolButton10"},
        {Action16, "ToolButton3"},
        {Action17, "ToolButton8"},
        {Action18, "ToolButton4"},
        {nullptr, ""},
        {Action20, "ToolButton14"},
        {Action19, "ToolButton27"},
        {nullptr, ""},
        {Action24, "ToolButton6"},
        {nullptr, ""},
        {Action7, "ToolButton7"},
    };
    for (const Button& button : buttons) {
        if (button.action == nullptr) {
            ToolBar1->addSeparator();
            continue;
        }
        button.action->setIcon(SizedIcon::atSize(button.action->icon(), ToolBar1->iconSize()));
        ToolBar1->addAction(button.action);
        auto* toolButton = qobject_cast<QToolButton*>(ToolBar1->widgetForAction(button.action));
        toolButton->setObjectName(QString::fromLatin1(button.name));
        toolButton->setFixedSize(39, 38);
        toolButton->setAutoRaise(true);
        toolButton->setProperty(kHintProperty, button.action->toolTip());
        toolButton->setMouseTracking(true);
        toolButton->installEventFilter(this);
        toolButtons_ << toolButton;
    }
}

void TFrmMain::createPanes()
{
    auto makeTree = [this](const char* name, const char* rootText, QStyle::StandardPixmap rootIcon) {
        auto* tree = new QTreeWidget;
        tree->setObjectName(QString::fromLatin1(name));
        tree->setHeaderHidden(true);
        tree->setIndentation(19);
        tree->setEditTriggers(QAbstractItemView::NoEditTriggers);
        tree->setContextMenuPolicy(Qt::CustomContextMenu);
        auto* root = new QTreeWidgetItem(tree, QStringList(QString::fromUtf8(rootText)));
        root->setIcon(0, style()->standardIcon(rootIcon));
        return tree;
    };
    TreeView4 = makeTree("TreeView4", "回收方案列表", QStyle::SP_DirIcon);
    TreeView5 = makeTree("TreeView5", "回收任务表", QStyle::SP_DirClosedIcon);
    connect(TreeView4, &QWidget::customContextMenuRequested, this, &TFrmMain::TreeView4ContextPopup);
    TreeView4->installEventFilter(this);
    connect(TreeView5, &QWidget::customContextMenuRequested, this, &TFrmMain::TreeView5ContextPopup);
    TreeView5->installEventFilter(this);
    TreeView4->setDragEnabled(true);
    TreeView4->setDragDropMode(QAbstractItemView::DragOnly);
    TreeView5->setAcceptDrops(true);
    TreeView5->viewport()->setAcceptDrops(true);

    ListView3 = new QTableWidget(9, 2);
    ListView3->setObjectName(QStringLiteral("ListView3"));
    ListView3->setHorizontalHeaderLabels({QStringLiteral("属性项目"), QStringLiteral("属性值")});
    ListView3->verticalHeader()->hide();
    // 18 pixels as the lists' image list asks, or more where the font is taller (the CJK fonts are).
    const int summaryRowHeight = std::max(18, fontMetrics().height() + 4);
    ListView3->verticalHeader()->setMinimumSectionSize(summaryRowHeight);
    ListView3->verticalHeader()->setDefaultSectionSize(summaryRowHeight);
    ListView3->setColumnWidth(0, 180);
    ListView3->setColumnWidth(1, 380);
    ListView3->setShowGrid(true);
    ListView3->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ListView3->setSelectionBehavior(QAbstractItemView::SelectRows);
    ListView3->setSelectionMode(QAbstractItemView::SingleSelection);
    ListView3->setIconSize(QSize(16, 16));
    const std::array<const char*, 9> captions{
        "◇ 名称",     "◇ 文件类型", "◇ 所属站点", "◇ 网页标题包含字符",    "◇ 网页内容包含字符",
        "◇ 浏览日期", "◇ 文件大小", "◇ 保存路径", "◇ 回收后是否删除原文件"};
    for (int row = 0; row < static_cast<int>(captions.size()); ++row) {
        ListView3->setItem(
            row, 0,
            new QTableWidgetItem(style()->standardIcon(QStyle::SP_ArrowRight), QString::fromUtf8(captions[row])));
        ListView3->setItem(row, 1, new QTableWidgetItem);
    }

    results_ = new ResultListModel(this);
    ListView4 = new QTreeView;
    ListView4->setObjectName(QStringLiteral("ListView4"));
    ListView4->setModel(results_);
    connect(ListView4, &QAbstractItemView::doubleClicked, this, &TFrmMain::ListView4DblClick);
    ListView4->setRootIsDecorated(false);
    ListView4->setUniformRowHeights(true);
    ListView4->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ListView4->setSelectionBehavior(QAbstractItemView::SelectRows);
    ListView4->setIconSize(QSize(16, 18));
    ListView4->header()->setStretchLastSection(false);
    // The date column is at least as wide as a date of the program's one date form.
    const int dateWidth = std::max(80, fontMetrics().horizontalAdvance(DateText::format(QDate(2026, 12, 31))) +
                                           2 * fontMetrics().averageCharWidth());
    for (const auto& [column, width] : {std::pair{0, 350}, {1, dateWidth}, {2, 80}, {3, 100}})
        ListView4->setColumnWidth(column, width);

    auto* leftPane = new QSplitter(Qt::Vertical);
    leftPane->setObjectName(QStringLiteral("Splitter7"));
    leftPane->setHandleWidth(3);
    leftPane->addWidget(TreeView4);
    leftPane->addWidget(TreeView5);
    leftPane->setSizes({225, 275});

    auto* rightPane = new QSplitter(Qt::Vertical);
    rightPane->setObjectName(QStringLiteral("Splitter8"));
    rightPane->setHandleWidth(3);
    rightPane->addWidget(ListView3);
    rightPane->addWidget(ListView4);
    rightPane->setCollapsible(0, false);

    auto* panes = new QSplitter(Qt::Horizontal);
    panes->setObjectName(QStringLiteral("Splitter6"));
    panes->setHandleWidth(3);
    panes->addWidget(leftPane);
    panes->addWidget(rightPane);
    panes->setStretchFactor(1, 1);
    panes->setSizes({185, 630});
    setCentralWidget(panes);

    // The summary is as high as its nine rows and never less, whatever the font: none of them may need
    // scrolling to.
    ListView3->ensurePolished();
    ListView3->horizontalHeader()->ensurePolished();
    const int summaryHeight = ListView3->horizontalHeader()->sizeHint().height() +
                              static_cast<int>(captions.size()) * summaryRowHeight + 2 * ListView3->frameWidth();
    ListView3->setMinimumHeight(summaryHeight);
    rightPane->setSizes({summaryHeight, 500 - summaryHeight});

    for (QAbstractItemView* view :
         std::initializer_list<QAbstractItemView*>{TreeView4, TreeView5, ListView3, ListView4}) {
        view->viewport()->setMouseTracking(true);
        view->viewport()->installEventFilter(this);
    }
}

void TFrmMain::createStatusBar()
{
    statusBar()->setObjectName(QStringLiteral("StatusBar1"));
    statusBar()->setSizeGripEnabled(true);
    hintLine_ = new QLabel;
    hintLine_->setObjectName(QStringLiteral("HintLine"));
    statusBar()->addWidget(hintLine_, 1);
    runProgress_ = new QProgressBar;
    runProgress_->setObjectName(QStringLiteral("ProgressBar1"));
    runProgress_->setFixedWidth(300);
    runProgress_->setMaximumHeight(fontMetrics().height() + 4);
    runProgress_->setTextVisible(true);
    runProgress_->hide();
    statusBar()->addPermanentWidget(runProgress_);
    // Apart from the hint line, which runs, commands and the mouse rewrite: keeping goes on for hours.
    keepStatus_ = new QLabel;
    keepStatus_->setObjectName(QStringLiteral("KeepStatusLabel"));
    keepStatus_->hide();
    statusBar()->addPermanentWidget(keepStatus_);
}

void TFrmMain::placeOnScreen()
{
    resize(815, 566);
    if (const QScreen* screen = this->screen())
        move(screen->availableGeometry().center() - QPoint(width() / 2, height() / 2));
}

void TFrmMain::FormCreate()
{
    closingFlag_ = false;
    GuardedApplication::setFailureHandler([this](const QString& message) { AppException(message); });
    // A failed step is logged and the next one still runs: a plan file that cannot be created should
    // not keep the window from opening.
    planFile_ = std::make_unique<PlanFile>(PlanFile::pathIn(files_.configFolder()));
    // A plan file that cannot be read stays as it is; the window starts with the default lists.
    if (const PlanFile::Status status = planFile_->status(); status.state == PlanFile::State::Unreadable)
        errorLog_.AppException(status.message);
    GuardedApplication::runGuarded([this] { planFile_->CrtCfg(); });
    GuardedApplication::runGuarded([this] { LoadCfg(); });
    GuardedApplication::runGuarded([this] { FrmInit(); });
    programCache_ = std::make_shared<ProgramCache>();
    copyQueue_ = std::make_unique<CopyQueue>();
    if (!copyWorker_) {
        auto worker = std::make_unique<thCpy>(*copyQueue_, *programCache_, closingFlag_, std::chrono::milliseconds(10),
                                              &errorLog_);
        worker->start();
        copyWorker_ = std::move(worker);
    }
}

void TFrmMain::LoadCfg()
{
    PlanFile::Contents contents = planFile_->LoadCfg();
    typeLists_.documentTypes = contents.documentTypes;
    typeLists_.resourceTypes = contents.resourceTypes;
    for (const StrucRec& plan : contents.plans)
        new PlanTreeItem(TreeView4->topLevelItem(0), plan, style()->standardIcon(QStyle::SP_FileIcon));
}

void TFrmMain::FrmInit()
{
    TreeView4->expandAll();
    TreeView5->expandAll();
    for (QAction* action : {Action18, Action19, Action17, Action16})
        action->setEnabled(false);
    Action21->setEnabled(true);
    Action22->setEnabled(false);
}

void TFrmMain::FormClose()
{
    // Keeping first, while the copy worker still saves: the keeper's end gives what it queued a moment, which
    // the keeper bounds, to be saved and counted.
    if (keeping_)
        keeping_->keeper->requestStop();
    if (keeping_)
        keeping_->keeper->wait();
    for (const std::unique_ptr<Keeping>& stopped : keepingsStopped_)
        stopped->stopper->wait();
    closingFlag_ = true;
    if (copyWorker_)
        copyWorker_->requestStop();
    for (const std::unique_ptr<Run>& run : runs_)
        run->scanner->requestStop();
    if (historyClearer_)
        historyClearer_->requestStop();
    // No worker may outlive the window it reports to. Every stop is asked for before any is waited for, so
    // that the window waits for the slowest of them, not for their sum.
    if (copyWorker_)
        copyWorker_->wait();
    for (const std::unique_ptr<Run>& run : runs_)
        run->scanner->wait();
    if (keepFinder_)
        keepFinder_->wait();
    if (historyClearer_)
        historyClearer_->wait();
}

void TFrmMain::Action7Execute()
{
    close();
}

void TFrmMain::closeEvent(QCloseEvent* event)
{
    FormClose();
    event->accept();
}

bool TFrmMain::event(QEvent* event)
{
    // Menu items would otherwise flash their status tips over the hint line.
    if (event->type() == QEvent::StatusTip)
        return true;
    return QMainWindow::event(event);
}

bool TFrmMain::eventFilter(QObject* watched, QEvent* event)
{
    const QEvent::Type type = event->type();
    if (watched == TreeView4->viewport()) {
        if (type == QEvent::MouseButtonRelease && static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton)
            TreeView4Click();
        else if (type == QEvent::MouseButtonDblClick)
            TreeView4DblClick();
    } else if (watched == TreeView5->viewport()) {
        if (type == QEvent::MouseButtonRelease && static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
            TreeView5Click();
        } else if (type == QEvent::DragEnter || type == QEvent::DragMove) {
            auto* drag = static_cast<QDragMoveEvent*>(event);
            if (TreeView5DragOver(drag->source())) {
                drag->setDropAction(Qt::CopyAction);
                drag->accept();
            } else {
                drag->ignore();
            }
            return true;
        } else if (type == QEvent::Drop) {
            auto* drop = static_cast<QDropEvent*>(event);
            TreeView5DragDrop(drop->source());
            drop->setDropAction(Qt::CopyAction);
            drop->accept();
            return true;
        }
    } else if (watched == TreeView5) {
        if (type == QEvent::FocusOut) {
            if (leavesForAnotherControl(*static_cast<QFocusEvent*>(event)))
                TreeView5Exit();
        } else if (type == QEvent::KeyRelease && static_cast<QKeyEvent*>(event)->key() == Qt::Key_Delete) {
            deleteSelectedTask();
        }
        return QMainWindow::eventFilter(watched, event);
    } else if (watched == TreeView4) {
        if (type == QEvent::FocusOut) {
            if (leavesForAnotherControl(*static_cast<QFocusEvent*>(event)))
                TreeView4Exit();
        } else if (type == QEvent::KeyRelease && static_cast<QKeyEvent*>(event)->key() == Qt::Key_Delete &&
                   selectedPlan() != nullptr) {
            DelPlan();
        }
        return QMainWindow::eventFilter(watched, event);
    }
    const bool mouseMoved = type == QEvent::MouseMove || type == QEvent::Enter || type == QEvent::HoverMove;
    if (auto* button = qobject_cast<QToolButton*>(watched); button != nullptr && toolButtons_.contains(button)) {
        // The exit button puts its hint on the hint line but shows no tooltip.
        if (type == QEvent::ToolTip && button->objectName() == QLatin1String("ToolButton7"))
            return true;
        if (mouseMoved)
            ToolButton1MouseMove(button);
    } else if (mouseMoved) {
        TreeView4MouseMove();
    }
    return QMainWindow::eventFilter(watched, event);
}

QString TFrmMain::hintText() const
{
    return hintLine_->text();
}

void TFrmMain::setHintText(const QString& text)
{
    hintLine_->setText(text);
}

void TFrmMain::ToolButton1MouseMove(const QToolButton* button)
{
    if (!hintText().contains(kScanningMarker))
        setHintText(button->property(kHintProperty).toString());
}

void TFrmMain::TreeView4MouseMove()
{
    const QString text = hintText();
    for (const QString& marker : kScanningOrDoneMarkers) {
        if (text.contains(marker))
            return;
    }
    setHintText(kReady);
}

void TFrmMain::AppException(const QString& message) const
{
    errorLog_.AppException(message);
}

const StrucRec* TFrmMain::selectedPlan() const
{
    const QList<QTreeWidgetItem*> selected = TreeView4->selectedItems();
    return selected.isEmpty() ? nullptr : PlanTreeItem::planOf(selected.first());
}

void TFrmMain::ShowOpt(const StrucRec* plan)
{
    QStringList values(9);
    if (plan != nullptr) {
        values = {plan->name,   plan->tpname,  plan->urlStr,
                  plan->tilStr, plan->conStr,  {},
                  {},           plan->savpath, plan->ifdel ? QStringLiteral("是") : QStringLiteral("否")};
        if (!plan->lday.isEmpty())
            values[5] = QStringLiteral("从%1到%2之间").arg(dateShown(plan->lday), dateShown(plan->hday));
        else if (plan->days > 0)
            values[5] = QStringLiteral("%1天之内").arg(plan->days);
        else
            values[5] = QStringLiteral("所有日期");
        if (plan->hsize > 0)
            values[6] = QStringLiteral("大于%1KB 小于%2KB").arg(plan->lsize).arg(plan->hsize);
    }
    for (int row = 0; row < values.size(); ++row)
        ListView3->item(row, 1)->setText(values[row]);
}

void TFrmMain::TreeView4Click()
{
    Action18->setEnabled(false);
    Action17->setEnabled(false);
    const StrucRec* plan = selectedPlan();
    if (plan == nullptr) {
        Action16->setEnabled(false);
        ShowOpt(nullptr);
        return;
    }
    ShowOpt(plan);
    Action18->setEnabled(true);
    Action17->setEnabled(true);
    Action16->setEnabled(true);
}

void TFrmMain::TreeView4Exit()
{
    Action18->setEnabled(false);
    Action17->setEnabled(false);
    Action16->setEnabled(false);
}

void TFrmMain::TreeView4ContextPopup(const QPoint& position)
{
    if (QTreeWidgetItem* item = TreeView4->itemAt(position)) {
        TreeView4->setCurrentItem(item);
        ShowOpt(PlanTreeItem::planOf(item));
    }
    const bool planSelected = selectedPlan() != nullptr;
    if (planSelected)
        Action15->setEnabled(true);
    for (QAction* action : {Action16, Action17, Action18})
        action->setEnabled(planSelected);
    PopupMenu3->popup(TreeView4->viewport()->mapToGlobal(position));
}

void TFrmMain::TreeView4DblClick()
{
    editor_->setNewPlanMode(false);
    ModifyFa();
}

void TFrmMain::Action15Execute()
{
    editor_->showEditor();
    editor_->setNewPlanMode(true);
    editor_->NewFrm();
}

void TFrmMain::Action16Execute()
{
    editor_->setNewPlanMode(false);
    ModifyFa();
}

void TFrmMain::ModifyFa()
{
    const QList<QTreeWidgetItem*> selected = TreeView4->selectedItems();
    auto* node = selected.isEmpty() ? nullptr : dynamic_cast<PlanTreeItem*>(selected.first());
    if (node == nullptr)
        return;
    editor_->showEditor();
    editor_->setNewPlanMode(false);
    editor_->IniFrm(node->plan());
}

void TFrmMain::DelPlan()
{
    const QList<QTreeWidgetItem*> selected = TreeView4->selectedItems();
    auto* node = selected.isEmpty() ? nullptr : dynamic_cast<PlanTreeItem*>(selected.first());
    if (node == nullptr)
        return;
    if (Prompt::ask(this, QStringLiteral("确实要删除此回收方案吗？"))) {
        const StrucRec plan = node->plan();
        editor_->forgetPlan(&node->plan());
        removeTasksOf(node->plan());
        delete node;
        planFile_->deletePlan(plan);
    }
    if (TreeView4->selectedItems().isEmpty())
        Action17->setEnabled(false);
}

void TFrmMain::addPlanNode(const StrucRec& plan)
{
    auto* node = new PlanTreeItem(TreeView4->topLevelItem(0), plan, style()->standardIcon(QStyle::SP_FileIcon));
    TreeView4->setCurrentItem(node);
}

void TFrmMain::removeTasksOf(const StrucRec& plan)
{
    QTreeWidgetItem* root = TreeView5->topLevelItem(0);
    for (int i = root->childCount() - 1; i >= 0; --i) {
        const TaskTreeItem* task = TaskTreeItem::taskOf(root->child(i));
        if (task != nullptr && &task->plan() == &plan)
            delete root->child(i);
    }
}

void TFrmMain::AddToRw()
{
    const QList<QTreeWidgetItem*> selected = TreeView4->selectedItems();
    const StrucRec* plan = selected.isEmpty() ? nullptr : PlanTreeItem::planOf(selected.first());
    if (plan == nullptr)
        return;
    QTreeWidgetItem* root = TreeView5->topLevelItem(0);
    for (int i = 0; i < root->childCount(); ++i) {
        const TaskTreeItem* task = TaskTreeItem::taskOf(root->child(i));
        if (task != nullptr && &task->plan() == plan) {
            Prompt::error(this, QStringLiteral("此方案已存在于任务表中，请选择其他方案！"));
            return;
        }
    }
    new TaskTreeItem(root, *plan, selected.first()->text(0), style()->standardIcon(QStyle::SP_FileLinkIcon));
    root->setExpanded(true);
}

void TFrmMain::deleteSelectedTask()
{
    const QList<QTreeWidgetItem*> selected = TreeView5->selectedItems();
    if (!selected.isEmpty() && TaskTreeItem::taskOf(selected.first()) != nullptr)
        delete selected.first();
}

void TFrmMain::Action19Execute()
{
    deleteSelectedTask();
}

void TFrmMain::Action20Execute()
{
    qDeleteAll(TreeView5->topLevelItem(0)->takeChildren());
}

void TFrmMain::TreeView5Click()
{
    const QList<QTreeWidgetItem*> selected = TreeView5->selectedItems();
    const TaskTreeItem* task = selected.isEmpty() ? nullptr : TaskTreeItem::taskOf(selected.first());
    if (task == nullptr) {
        ShowOpt(nullptr);
        return;
    }
    ShowOpt(&task->plan());
    Action19->setEnabled(true);
}

void TFrmMain::TreeView5Exit()
{
    Action19->setEnabled(false);
}

void TFrmMain::TreeView5ContextPopup(const QPoint& position)
{
    if (QTreeWidgetItem* item = TreeView5->itemAt(position)) {
        TreeView5->setCurrentItem(item);
        const TaskTreeItem* task = TaskTreeItem::taskOf(item);
        ShowOpt(task != nullptr ? &task->plan() : nullptr);
    }
    const QList<QTreeWidgetItem*> selected = TreeView5->selectedItems();
    if (selected.isEmpty() || TaskTreeItem::taskOf(selected.first()) == nullptr) {
        Action19->setEnabled(false);
    } else {
        Action19->setEnabled(true);
        Action20->setEnabled(true);
    }
    PopupMenu4->popup(TreeView5->viewport()->mapToGlobal(position));
}

bool TFrmMain::TreeView5DragOver(const QObject* source) const
{
    return source == TreeView4;
}

void TFrmMain::TreeView5DragDrop(const QObject* source)
{
    if (TreeView5DragOver(source))
        AddToRw();
}

void TFrmMain::Action1Execute()
{
    if (historyClearer_)
        return;
    // The databases are cleared on a worker, as a running browser may hold them; a store that could not be
    // cleared reaches the log.
    historyClearer_ = CleanupCommands::clearHistory(this, this, files_.configFolder(),
                                                    [this](bool cleared) { historyCleared(cleared); });
    if (!historyClearer_)
        return;
    Action1->setEnabled(false);
    // A run's texts keep the hint line.
    if (!scanning_)
        setHintText(CleanupCommands::kClearingHistoryText);
}

void TFrmMain::historyCleared(bool cleared)
{
    if (historyClearer_) {
        historyClearer_->wait();
        historyClearer_.reset();
    }
    Action1->setEnabled(true);
    if (!scanning_)
        setHintText(cleared ? CleanupCommands::kHistoryClearedText : CleanupCommands::kHistoryNotClearedText);
}

void TFrmMain::Action2Execute()
{
    // The caches are found afresh on the dialog's worker, as for a run; a running scan, and keeping, keep the
    // ones they read.
    const bool cachesInUse = scanning_ || keepAction_->isChecked();
    CleanupCommands::clearTemporaryFiles(this, *programCache_, cachesInUse ? std::function<void()>() : cacheFinder(0));
}

void TFrmMain::Action24Execute()
{
    HelpCommands::showHelp(this, files_.helpFolder());
}

void TFrmMain::Action5Execute()
{
    HelpCommands::openHomePage();
}

void TFrmMain::Action27Execute()
{
    HelpCommands::showAbout(this);
}

void TFrmMain::Action3Execute()
{
    TFrmzlk::showLibrary(this, files_.configFolder());
}

void TFrmMain::ListView4DblClick()
{
    const QModelIndexList rows = ListView4->selectionModel()->selectedRows();
    if (rows.isEmpty())
        return;
    TFrmzlk::showLibrary(this, files_.configFolder(), results_->row(rows.first().row()).planName);
}

std::function<void()> TFrmMain::cacheFinder(int run, std::function<void(const QList<CacheLocation>&)> found)
{
    // Copies of what it reads: the window goes on meanwhile. The window outlives every worker, and its
    // error log may be written from any thread.
    return [this, run, cache = programCache_, iniFile = CacheRefresh::iniFileIn(files_.configFolder()),
            homes = CacheDetector::Homes::fromEnvironment(), found = std::move(found)] {
        // Caches found unreadable are logged, one line each.
        const QList<CacheLocation> locations = CacheRefresh::readableCaches(*cache, iniFile, homes, &errorLog_);
        const bool anyFound = !locations.isEmpty();
        if (found)
            found(locations);
        if (anyFound || run <= 0)
            return;
        // Posted before the scan's completion text, so it is here when that text comes.
        QMetaObject::invokeMethod(
            this,
            [this, run] {
                if (run == currentRun_)
                    noCacheFound_ = true;
            },
            Qt::QueuedConnection);
    };
}

tScanBuf::RunPlanList TFrmMain::taskPlans() const
{
    const QTreeWidgetItem* root = TreeView5->topLevelItem(0);
    tScanBuf::RunPlanList plans;
    for (int i = 0; i < root->childCount(); ++i) {
        const TaskTreeItem* task = TaskTreeItem::taskOf(root->child(i));
        plans.push_back(task != nullptr ? std::optional<StrucRec>(task->plan()) : std::nullopt);
    }
    return plans;
}

void TFrmMain::StartGet()
{
    QTreeWidgetItem* root = TreeView5->topLevelItem(0);
    if (root->childCount() == 0) {
        Prompt::inform(this, QStringLiteral("当前回收任务为空，请向任务表中加入回收方案后再开始回收！"));
        return;
    }
    Action21->setEnabled(false);
    Action22->setEnabled(true);
    keepAction_->setEnabled(false);
    TreeView5->setEnabled(false);
    tScanBuf::RunPlanList plans = taskPlans();
    results_->clear();
    harvestSummary_.clear();
    noCacheFound_ = false;

    auto run = std::make_unique<Run>();
    run->id = ++currentRun_;
    const int id = run->id;
    run->observer = std::make_unique<WindowScanObserver>(
        this, WindowScanObserver::Receiver{
                  [this, id](const QString& text) { scanHintArrived(id, text); },
                  [this, id](const QList<ResultRow>& rows) { scanRowsArrived(id, rows); },
                  [this, id](const ScanProgress& progress) { scanProgressArrived(id, progress); },
                  [this, id] { scanEnded(id); },
              });
    // The web archive, where the user wants one, is opened once the caches it records are known.
    const WebArchiveSetting archiveSetting =
        WebArchiveSetting::read(IniFile(CacheRefresh::iniFileIn(files_.configFolder())));
    std::optional<RunArchive::Destination> archiveDestination;
    if (archiveSetting.isOn())
        archiveDestination = archiveSetting.destinationFor(QDateTime::currentDateTime());
    // Reported by the copy worker once it has handled the run's last job: posted to this thread.
    auto self = std::make_shared<std::weak_ptr<HarvestRun>>();
    auto harvest = std::make_shared<HarvestRun>([this, id, self, archiveDestination](const HarvestRun::Totals& totals) {
        QString archiveText;
        if (archiveDestination) {
            const std::shared_ptr<HarvestRun> finished = self->lock();
            const QString error = finished ? finished->archiveError() : QString();
            QStringList paths;
            for (const QString& path : {archiveDestination->warcPath, archiveDestination->waczPath}) {
                if (!path.isEmpty())
                    paths << path;
            }
            archiveText = error.isEmpty() ? QStringLiteral("网页存档写入%1").arg(paths.join(QStringLiteral("、")))
                                          : QStringLiteral("网页存档未能写成：%1").arg(error);
        }
        QMetaObject::invokeMethod(
            this, [this, id, totals, archiveText] { runHarvested(id, totals, archiveText); }, Qt::QueuedConnection);
    });
    *self = harvest;
    std::function<void(const QList<CacheLocation>&)> openArchive;
    if (archiveDestination)
        openArchive = [this, harvest, destination = *archiveDestination](const QList<CacheLocation>& caches) {
            QStringList folders;
            for (const CacheLocation& cache : caches)
                folders << cache.folder;
            auto archive =
                std::make_shared<RunArchive>(destination, "WebGleaner " + ProgramVersion::number().toUtf8(), folders);
            if (archive->isOpen())
                harvest->setArchive(std::move(archive));
            else {
                harvest->setArchiveError(archive->errorText());
                errorLog_.logFailure(QStringLiteral("网页存档未能写成：%1").arg(archive->errorText()));
            }
        };
    run->scanner = std::make_unique<tScanBuf>(*programCache_, *copyQueue_, std::move(plans), closingFlag_,
                                              *run->observer, pauseAfterWebEntry(), std::move(harvest), &errorLog_);
    // The caches are found on the scan's thread, before its walk. A stopped scan may still be finishing its
    // entry: the new one waits for it, so that no two scans queue jobs at once and the saves are named in
    // the order of the walks, whatever the threads' timing.
    std::function<void()> firstStep = cacheFinder(id, std::move(openArchive));
    if (!runs_.empty())
        firstStep = [previous = runs_.back()->observer->ended(), findCaches = std::move(firstStep),
                     &closing = closingFlag_] {
            // Closing ends the wait too, whatever became of the previous scan.
            while (!closing && previous.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) {
            }
            findCaches();
        };
    run->scanner->setFirstStep(std::move(firstStep));
    tScanBuf& scanner = *run->scanner;
    runs_.push_back(std::move(run));
    scanning_ = true;
    runClock_.start();
    runProgress_->setRange(0, 0); // busy until the walk tells its size
    runProgress_->setValue(0);
    runProgress_->setFormat(QStringLiteral("正在查找缓存..."));
    runProgress_->show();
    scanner.start();
}

std::chrono::milliseconds TFrmMain::pauseAfterWebEntry() const
{
    // Read at each start, so that a change to the file needs no restart; a negative pause is none.
    const IniFile settings(CacheRefresh::iniFileIn(files_.configFolder()));
    return std::chrono::milliseconds(
        std::max(0, settings.readInteger(QStringLiteral("scan"), QStringLiteral("pause_ms"),
                                         static_cast<int>(kDefaultPause.count()))));
}

void TFrmMain::showCacheSources()
{
    CacheSourcesDialog dialog(CacheRefresh::iniFileIn(files_.configFolder()), CacheDetector::Homes::fromEnvironment(),
                              this);
    dialog.exec();
}

void TFrmMain::Action22Execute()
{
    Action21->setEnabled(true);
    Action22->setEnabled(false);
    keepAction_->setEnabled(true);
    if (!runs_.empty() && runs_.back()->id == currentRun_)
        runs_.back()->scanner->requestStop();
    scanning_ = false;
    TreeView5->setEnabled(true);
}

void TFrmMain::scanHintArrived(int run, const QString& text)
{
    if (run == currentRun_) {
        setHintText(text);
        lastHintText_ = text;
    }
}

void TFrmMain::scanRowsArrived(int run, const QList<ResultRow>& rows)
{
    if (run == currentRun_)
        results_->appendRows(rows);
}

void TFrmMain::scanProgressArrived(int run, const ScanProgress& progress)
{
    if (run != currentRun_)
        return;
    QString text;
    if (progress.entriesTotal < 0) {
        runProgress_->setRange(0, 0);
        text = QStringLiteral("已检索%1项，匹配%2").arg(progress.entriesWalked).arg(progress.matches);
    } else {
        // An estimate that the walk outgrows is corrected upward as it goes.
        const qint64 total = std::max(progress.entriesTotal, progress.entriesWalked);
        // The bar counts in int: a total beyond it is shown in proportion.
        const qint64 scale = std::max<qint64>(1, (total + INT_MAX - 1) / INT_MAX);
        runProgress_->setRange(0, static_cast<int>(total / scale));
        runProgress_->setValue(static_cast<int>(progress.entriesWalked / scale));
        text = QStringLiteral("%1/%2项，匹配%3").arg(progress.entriesWalked).arg(total).arg(progress.matches);
        const qint64 elapsed = runClock_.elapsed();
        if (progress.entriesWalked > 0 && progress.entriesWalked < total && elapsed > 0) {
            const qint64 secondsLeft = elapsed * (total - progress.entriesWalked) / progress.entriesWalked / 1000;
            text += QStringLiteral("，剩余%1").arg(timeLeftText(secondsLeft));
        }
    }
    runProgress_->setFormat(text);
}

QString TFrmMain::timeLeftText(qint64 seconds)
{
    if (seconds < 60)
        return QStringLiteral("%1秒").arg(seconds);
    if (seconds < 3600)
        return QStringLiteral("%1分%2秒").arg(seconds / 60).arg(seconds % 60);
    return QStringLiteral("%1小时%2分").arg(seconds / 3600).arg(seconds % 3600 / 60);
}

void TFrmMain::showWebArchiveSetting()
{
    WebArchiveDialog dialog(CacheRefresh::iniFileIn(files_.configFolder()), this);
    dialog.exec();
}

void TFrmMain::runHarvested(int run, const HarvestRun::Totals& totals, const QString& archiveText)
{
    QString summary = HarvestRun::summaryText(totals);
    if (!archiveText.isEmpty())
        summary += QStringLiteral("；") + archiveText;
    logLeftBehind(totals);
    if (run != currentRun_)
        return;
    // The worker can get to the end of the run before the scan's own end reaches this thread.
    harvestSummary_ = summary;
    // "No cache found" stays as it is: there was nothing to save.
    if (!scanning_ && !noCacheFound_)
        setHintText(lastHintText_ + QStringLiteral("；") + summary);
}

void TFrmMain::scanEnded(int run)
{
    const auto ended = std::find_if(runs_.begin(), runs_.end(), [run](const auto& r) { return r->id == run; });
    if (ended != runs_.end()) {
        (*ended)->scanner->wait();
        runs_.erase(ended);
    }
    if (run != currentRun_)
        return;
    runProgress_->hide();
    if (noCacheFound_)
        setHintText(kNoCacheText);
    else if (!harvestSummary_.isEmpty())
        setHintText(lastHintText_ + QStringLiteral("；") + harvestSummary_);
    if (scanning_) {
        scanning_ = false;
        Action21->setEnabled(true);
        Action22->setEnabled(false);
        keepAction_->setEnabled(true);
        TreeView5->setEnabled(true);
    }
}

void TFrmMain::logLeftBehind(const HarvestRun::Totals& totals) const
{
    // The log keeps the harvests that left something behind; one that saved everything says so on the status
    // bar only.
    if (totals.failed > 0 || totals.changed > 0 || totals.notDeleted > 0 || totals.missingResources > 0 ||
        totals.cappedPages > 0 || totals.archiveFailed > 0)
        errorLog_.AppException(HarvestRun::summaryText(totals));
}

void TFrmMain::keepingToggled(bool keep)
{
    // A closed window starts nothing more.
    if (closingFlag_) {
        keepAction_->setChecked(false);
        return;
    }
    if (keep)
        startKeeping();
    else
        stopKeeping();
}

void TFrmMain::startKeeping()
{
    if (TreeView5->topLevelItem(0)->childCount() == 0) {
        keepAction_->setChecked(false);
        Prompt::inform(this, QStringLiteral("当前回收任务为空，请向任务表中加入回收方案后再边浏览边回收！"));
        return;
    }
    Action21->setEnabled(false);
    TreeView5->setEnabled(false);
    results_->clear();
    ++currentKeeping_;
    keepStatus_->setText(QStringLiteral("正在查找缓存..."));
    keepStatus_->setToolTip({});
    keepStatus_->show();
    // A start given up before its caches were found is still finding them: this one takes them.
    if (keepFinder_)
        return;
    // Found off this thread, as for a run: listing the user's folders and opening the caches may wait on
    // the disk. The window outlives the finder, and its error log may be written from any thread.
    keepFinder_ = std::make_unique<WorkerThread>(QStringLiteral("keep finder"), &errorLog_);
    keepFinder_->start(cacheFinder(0, [this](const QList<CacheLocation>& found) {
        QMetaObject::invokeMethod(
            this, [this, found] { keepCachesFound(found); }, Qt::QueuedConnection);
    }));
}

void TFrmMain::keepCachesFound(const QList<CacheLocation>& caches)
{
    if (keepFinder_) {
        keepFinder_->wait();
        keepFinder_.reset();
    }
    // Given up meanwhile.
    if (!keepAction_->isChecked() || keeping_ || closingFlag_)
        return;
    if (caches.isEmpty()) {
        keepAction_->setChecked(false);
        keepingGone();
        setHintText(kNoCacheToKeepText);
        return;
    }
    auto keeping = std::make_unique<Keeping>();
    keeping->id = currentKeeping_;
    const int id = keeping->id;
    keeping->observer = std::make_unique<WindowKeepObserver>(
        this,
        WindowKeepObserver::Receiver{
            [this, id](const QStringList& kept, const QStringList& notKept) { keepingStarted(id, kept, notKept); },
            [this, id](const QString& text) { keepingNotice(id, text); },
            [this, id](const QList<ResultRow>& rows) { keepRowsArrived(id, rows); },
            [this, id](const KeepTotals& totals) { keepTotalsChanged(id, totals); },
            [this, id](const KeepTotals& totals) { keepingEnded(id, totals); },
        });
    // The keeper reads through the program's cache, as the copy worker does; the caches were just put in it.
    keeping->keeper =
        std::make_unique<CacheKeeper>(*programCache_, std::vector<CacheLocation>(caches.cbegin(), caches.cend()),
                                      *copyQueue_, taskPlans(), *keeping->observer, &errorLog_);
    keeping_ = std::move(keeping);
    keeping_->keeper->start();
}

void TFrmMain::stopKeeping()
{
    if (!keeping_) {
        // Still finding the caches: the finder's news is dropped.
        keepingGone();
        return;
    }
    keeping_->keeper->requestStop();
    // Its end gives the copy worker a moment to save what it queued, so that the last totals count it; waited
    // for off this thread. Its keepingEnded then lets it go.
    keeping_->stopper = std::make_unique<WorkerThread>(QStringLiteral("keep stopper"), &errorLog_);
    keeping_->stopper->start([keeper = keeping_->keeper.get()] { keeper->wait(); });
    keepingsStopped_.push_back(std::move(keeping_));
    keepingGone();
}

void TFrmMain::keepingGone()
{
    keepStatus_->hide();
    Action21->setEnabled(true);
    TreeView5->setEnabled(true);
}

void TFrmMain::keepingStarted(int keeping, const QStringList& kept, const QStringList& notKept)
{
    if (keeping != currentKeeping_)
        return;
    keepStatus_->setText(keepingStatusText({}));
    QString caches = QStringLiteral("守候：") + kept.join(QStringLiteral("、"));
    for (const QString& reason : notKept)
        caches += QStringLiteral("\n不守候：") + reason;
    keepStatus_->setToolTip(caches);
    setHintText(QStringLiteral("正在守候：") + kept.join(QStringLiteral("、")));
}

void TFrmMain::keepingNotice(int keeping, const QString& text)
{
    if (keeping == currentKeeping_)
        setHintText(text);
}

void TFrmMain::keepRowsArrived(int keeping, const QList<ResultRow>& rows)
{
    if (keeping == currentKeeping_)
        results_->appendRows(rows);
}

void TFrmMain::keepTotalsChanged(int keeping, const KeepTotals& totals)
{
    if (keeping_ && keeping_->id == keeping)
        keepStatus_->setText(keepingStatusText(totals));
}

void TFrmMain::keepingEnded(int keeping, const KeepTotals& totals)
{
    logLeftBehind(totals.saves);
    // Its stopper is about to return, if it has not: joined as it goes.
    const auto ended = std::find_if(keepingsStopped_.begin(), keepingsStopped_.end(),
                                    [keeping](const auto& stopped) { return stopped->id == keeping; });
    if (ended != keepingsStopped_.end())
        keepingsStopped_.erase(ended);
    if (keeping == currentKeeping_ && !keeping_)
        setHintText(QStringLiteral("边浏览边回收已停止；") + HarvestRun::summaryText(totals.saves));
}
