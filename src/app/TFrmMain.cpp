#include "app/TFrmMain.h"

#include "app/GuardedApplication.h"
#include "app/ResultListModel.h"
#include "plans/PlanFile.h"
#include "plans/PlanTreeItem.h"

#include <QAction>
#include <QCloseEvent>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <QSplitter>
#include <QStatusBar>
#include <QStyle>
#include <QTableWidget>
#include <QToolBar>
#include <QToolButton>
#include <QTreeView>
#include <QTreeWidget>
#include <array>

namespace
{

const QString kScanningMarker = QStringLiteral("正在检索数据");
const QString kScanningOrDoneMarkers[] = {QStringLiteral("正在检索"), QStringLiteral("记录")};
const QString kReady = QStringLiteral("就绪");
const char kHintProperty[] = "webgleanerHint";

QFont windowFont()
{
    QFont font(QStringLiteral("宋体"));
    font.setPixelSize(12);
    return font;
}

} // namespace

TFrmMain::TFrmMain(const QString& programFolder, QWidget* parent)
    : QMainWindow(parent), programFolder_(programFolder), errorLog_(programFolder)
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
                           {nullptr, ""},
                           {Action7, "退出系统(&U)"}});
    addMenu("回收方案(&T)", {{Action15, "新建回收方案(&V)"},
                             {Action16, "编辑回收方案(&W)"},
                             {Action17, "删除回收方案(&X)"},
                             {Action18, "加入到任务表(&Y)"}});
    addMenu("回收任务(&X)", {{Action19, "从任务表中删除(&Y)"}, {Action20, "清空任务(&Z)"}});
    addMenu("帮  助(&Z)", {{Action24, "帮助(&Z)"}, {Action5, "访问主页"}, {Action27, "关于(&W)"}});

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
    connect(TreeView4, &QWidget::customContextMenuRequested, this, &TFrmMain::showPlanTreeMenu);
    connect(TreeView5, &QWidget::customContextMenuRequested, this, &TFrmMain::showTaskListMenu);

    ListView3 = new QTableWidget(9, 2);
    ListView3->setObjectName(QStringLiteral("ListView3"));
    ListView3->setHorizontalHeaderLabels({QStringLiteral("属性项目"), QStringLiteral("属性值")});
    ListView3->verticalHeader()->hide();
    ListView3->verticalHeader()->setDefaultSectionSize(18);
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
    ListView4->setRootIsDecorated(false);
    ListView4->setUniformRowHeights(true);
    ListView4->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ListView4->setSelectionBehavior(QAbstractItemView::SelectRows);
    ListView4->setIconSize(QSize(16, 18));
    ListView4->header()->setStretchLastSection(false);
    for (const auto& [column, width] : {std::pair{0, 350}, {1, 80}, {2, 80}, {3, 100}})
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
    rightPane->setSizes({201, 299});

    auto* panes = new QSplitter(Qt::Horizontal);
    panes->setObjectName(QStringLiteral("Splitter6"));
    panes->setHandleWidth(3);
    panes->addWidget(leftPane);
    panes->addWidget(rightPane);
    panes->setStretchFactor(1, 1);
    panes->setSizes({185, 630});
    setCentralWidget(panes);

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
    GuardedApplication::runGuarded([this] {
        planFile_ = std::make_unique<PlanFile>(programFolder_);
        planFile_->CrtCfg();
    });
    GuardedApplication::runGuarded([this] { LoadCfg(); });
    GuardedApplication::runGuarded([this] { FrmInit(); });
}

void TFrmMain::LoadCfg()
{
    if (!planFile_)
        return;
    PlanFile::Contents contents = planFile_->LoadCfg();
    documentTypes_ = contents.documentTypes;
    resourceTypes_ = contents.resourceTypes;
    QTreeWidgetItem* root = TreeView4->topLevelItem(0);
    const QIcon planIcon = style()->standardIcon(QStyle::SP_FileIcon);
    for (StrucRec& plan : contents.plans) {
        auto* node = new PlanTreeItem(root, std::move(plan));
        node->setIcon(0, planIcon);
    }
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
    closingFlag_ = true;
    runningFlag_ = false;
    for (BackgroundWorker* worker : {copyWorker_.get(), scanner_.get()}) {
        if (worker != nullptr)
            worker->requestStop();
    }
    for (BackgroundWorker* worker : {copyWorker_.get(), scanner_.get()}) {
        if (worker != nullptr)
            worker->wait();
    }
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

void TFrmMain::showPlanTreeMenu(const QPoint& position)
{
    if (QTreeWidgetItem* item = TreeView4->itemAt(position))
        TreeView4->setCurrentItem(item);
    PopupMenu3->popup(TreeView4->viewport()->mapToGlobal(position));
}

void TFrmMain::showTaskListMenu(const QPoint& position)
{
    if (QTreeWidgetItem* item = TreeView5->itemAt(position))
        TreeView5->setCurrentItem(item);
    PopupMenu4->popup(TreeView5->viewport()->mapToGlobal(position));
}
