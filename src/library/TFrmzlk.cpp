#include "library/TFrmzlk.h"

#include "library/ShellListView.h"
#include "plans/PlanFile.h"
#include "util/Prompt.h"
#include "util/SizedIcon.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFrame>
#include <QLabel>
#include <QScreen>
#include <QSplitter>
#include <QStandardPaths>
#include <QStatusBar>
#include <QStyle>
#include <QToolBar>
#include <QToolButton>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>
#include <QVBoxLayout>
#include <memory>

namespace
{

constexpr int kFolderRole = Qt::UserRole;

QFont windowFont()
{
    QFont font(QStringLiteral("宋体"));
    font.setPixelSize(12);
    return font;
}

// Archives and Flash movies are opened by the engine itself, anything else is shown as a picture. The
// test is on the whole path and case-sensitive, so a picture inside a folder named with "swf" opens
// directly too, and "x.Swf" or "x.MHT" go through the picture page.
bool opensDirectly(const QString& path)
{
    return path.contains(QStringLiteral(".mht")) || path.contains(QStringLiteral("swf")) ||
           path.contains(QStringLiteral("SWF"));
}

bool isExistingFile(const QString& path)
{
    return !path.isEmpty() && QFileInfo(path).isFile();
}

// The folder the list shows before a plan is chosen.
QString startFolder()
{
    const QString desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    return QFileInfo(desktop).isDir() ? desktop : QDir::homePath();
}

// A failure while previewing is of no interest to the user and must not end the handler's caller.
template <typename Step>
void quietly(Step&& step)
{
    try {
        step();
    } catch (...) {
    }
}

} // namespace

TFrmzlk* TFrmzlk::instance_ = nullptr;

const QString TFrmzlk::kMissingFolderText = QStringLiteral("该方案的保存路径不存在或已删除！");
const QString TFrmzlk::kDeleteQuestion = QStringLiteral("确实要删除此文件吗？");

TFrmzlk::TFrmzlk(const QString& programFolder, QWidget* parent) : QDialog(parent), programFolder_(programFolder)
{
    instance_ = this;
    setObjectName(QStringLiteral("TFrmzlk"));
    setWindowTitle(QStringLiteral("资料库"));
    setModal(true);
    setFont(windowFont());
    createToolBar();
    createPanes();
    placeOnScreen();
    LoadCfg();
}

TFrmzlk::~TFrmzlk()
{
    if (instance_ == this)
        instance_ = nullptr;
}

void TFrmzlk::showLibrary(QWidget* parent, const QString& programFolder, const QString& planName)
{
    std::unique_ptr<TFrmzlk> created;
    if (instance_ == nullptr)
        created = std::make_unique<TFrmzlk>(programFolder, parent);
    TFrmzlk* const window = instance_;
    if (!planName.isEmpty())
        window->choosePlan(planName);
    window->exec();
}

void TFrmzlk::createToolBar()
{
    ToolBar1 = new QToolBar;
    ToolBar1->setObjectName(QStringLiteral("ToolBar1"));
    ToolBar1->setIconSize(QSize(20, 20));
    ToolBar1->setToolButtonStyle(Qt::ToolButtonIconOnly);

    struct Button
    {
        QAction** action; // nullptr for a separator
        const char* name;
        const char* hint;
        const char* themeIcon;
        QStyle::StandardPixmap fallbackIcon;
        void (TFrmzlk::*handler)();
    };
    const Button buttons[] = {
        {&largeIconsAction_, "ToolButton1", "大图标", "view-list-icons", QStyle::SP_FileDialogContentsView,
         &TFrmzlk::ToolButton1Click},
        {&listAction_, "ToolButton2", "列表", "view-list-text", QStyle::SP_FileDialogListView,
         &TFrmzlk::ToolButton2Click},
        {&detailsAction_, "ToolButton3", "详细信息", "view-list-details", QStyle::SP_FileDialogDetailedView,
         &TFrmzlk::ToolButton3Click},
        {&smallIconsAction_, "ToolButton4", "小图标", "view-list-compact", QStyle::SP_FileDialogInfoView,
         &TFrmzlk::ToolButton4Click},
        {nullptr, "", "", "", QStyle::SP_CustomBase, nullptr},
        {&deleteAction_, "ToolButton11", "删除文件", "edit-delete", QStyle::SP_TrashIcon, &TFrmzlk::ToolButton11Click},
        {nullptr, "", "", "", QStyle::SP_CustomBase, nullptr},
        {&fitWidthAction_, "ToolButton6", "整宽", "zoom-fit-width", QStyle::SP_ToolBarHorizontalExtensionButton,
         &TFrmzlk::ToolButton6Click},
        {&fitHeightAction_, "ToolButton8", "整高", "zoom-fit-height", QStyle::SP_ToolBarVerticalExtensionButton,
         &TFrmzlk::ToolButton8Click},
        {&actualSizeAction_, "ToolButton10", "原始大小", "zoom-original", QStyle::SP_DesktopIcon,
         &TFrmzlk::ToolButton10Click},
        {nullptr, "", "", "", QStyle::SP_CustomBase, nullptr},
        {&exitAction_, "ToolButton9", "退出", "application-exit", QStyle::SP_DialogCloseButton,
         &TFrmzlk::ToolButton9Click},
    };
    for (const Button& button : buttons) {
        if (button.action == nullptr) {
            ToolBar1->addSeparator();
            continue;
        }
        auto* action = new QAction(SizedIcon::atSize(QIcon::fromTheme(QString::fromLatin1(button.themeIcon),
                                                                      style()->standardIcon(button.fallbackIcon)),
                                                     ToolBar1->iconSize()),
                                   QString::fromUtf8(button.hint), this);
        action->setToolTip(QString::fromUtf8(button.hint));
        connect(action, &QAction::triggered, this, button.handler);
        ToolBar1->addAction(action);
        auto* toolButton = qobject_cast<QToolButton*>(ToolBar1->widgetForAction(action));
        toolButton->setObjectName(QString::fromLatin1(button.name));
        toolButton->setFixedSize(29, 28);
        toolButton->setAutoRaise(true);
        *button.action = action;
    }
}

void TFrmzlk::createPanes()
{
    TreeView1 = new QTreeWidget;
    TreeView1->setObjectName(QStringLiteral("TreeView1"));
    TreeView1->setHeaderHidden(true);
    TreeView1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    auto* root = new QTreeWidgetItem(TreeView1, QStringList(QStringLiteral("回收方案列表")));
    root->setIcon(0, style()->standardIcon(QStyle::SP_DirIcon));
    connect(TreeView1, &QTreeWidget::itemClicked, this, &TFrmzlk::TreeView1Click);

    ShellListView1 = new ShellListView;
    ShellListView1->setObjectName(QStringLiteral("ShellListView1"));
    ShellListView1->setRoot(startFolder());
    connect(ShellListView1, &ShellListView::itemClicked, this, &TFrmzlk::ShellListView1Click);
    connect(ShellListView1, &ShellListView::deleteRequested, this, &TFrmzlk::deleteFile);

    WebBrowser1 = new WebPreview;
    WebBrowser1->setObjectName(QStringLiteral("WebBrowser1"));
    auto* previewPanel = new QFrame;
    previewPanel->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    auto* previewLayout = new QVBoxLayout(previewPanel);
    previewLayout->setContentsMargins(1, 1, 1, 1);
    previewLayout->addWidget(WebBrowser1);

    auto* rightSide = new QSplitter(Qt::Vertical);
    rightSide->addWidget(ShellListView1);
    rightSide->addWidget(previewPanel);
    rightSide->setStretchFactor(1, 1);
    rightSide->setSizes({193, 330});

    auto* panes = new QSplitter(Qt::Horizontal);
    panes->addWidget(TreeView1);
    panes->addWidget(rightSide);
    panes->setStretchFactor(1, 1);
    panes->setSizes({185, 600});

    StatusBar1 = new QStatusBar;
    StatusBar1->setObjectName(QStringLiteral("StatusBar1"));
    StatusBar1->setSizeGripEnabled(false);
    statusLabel_ = new QLabel;
    statusLabel_->setObjectName(QStringLiteral("StatusText"));
    StatusBar1->addWidget(statusLabel_, 1);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(ToolBar1);
    layout->addWidget(panes, 1);
    layout->addWidget(StatusBar1);
}

void TFrmzlk::placeOnScreen()
{
    resize(791, 600);
    if (const QScreen* screen = this->screen())
        move(screen->availableGeometry().center() - QPoint(width() / 2, height() / 2));
}

void TFrmzlk::LoadCfg()
{
    QTreeWidgetItem* const root = TreeView1->topLevelItem(0);
    const QIcon planIcon = style()->standardIcon(QStyle::SP_FileIcon);
    for (const StrucRec& plan : PlanFile(PlanFile::pathIn(programFolder_)).LoadCfg().plans) {
        auto* node = new QTreeWidgetItem(root, QStringList(plan.name));
        node->setIcon(0, planIcon);
        node->setData(0, kFolderRole, plan.savpath);
    }
    root->setExpanded(true);
}

void TFrmzlk::choosePlan(const QString& planName)
{
    for (QTreeWidgetItemIterator it(TreeView1); *it != nullptr; ++it) {
        if ((*it)->text(0) != planName)
            continue;
        TreeView1->setCurrentItem(*it);
        TreeView1Click();
    }
}

void TFrmzlk::TreeView1Click()
{
    setStatusText({});
    const QList<QTreeWidgetItem*> selected = TreeView1->selectedItems();
    if (selected.isEmpty() || selected.first()->parent() == nullptr)
        return;
    const QString folder = selected.first()->data(0, kFolderRole).toString();
    if (folder.isEmpty() || !QFileInfo(folder).isDir()) {
        Prompt::inform(this, kMissingFolderText);
        return;
    }
    // Folder names are case-sensitive here, so only the very same folder leaves the list as it is.
    if (QDir::cleanPath(folder) != QDir::cleanPath(ShellListView1->root()))
        ShellListView1->setRoot(folder);
    setStatusText(QStringLiteral("当前路径：") + folder);
}

void TFrmzlk::ShellListView1Click()
{
    quietly([this] {
        const QString path = ShellListView1->selectedPath();
        if (path.isEmpty())
            return;
        currentFile_ = path;
        if (opensDirectly(path)) {
            WebBrowser1->showDocument(path);
            setFitButtonsEnabled(false);
        } else {
            WebBrowser1->showPicture(path, WebPreview::PictureFit::Natural);
            setFitButtonsEnabled(true);
        }
    });
}

QString TFrmzlk::statusText() const
{
    return statusLabel_->text();
}

void TFrmzlk::setStatusText(const QString& text)
{
    statusLabel_->setText(text);
}

void TFrmzlk::setFitButtonsEnabled(bool enabled)
{
    for (QAction* action : {fitWidthAction_, fitHeightAction_, actualSizeAction_})
        action->setEnabled(enabled);
}

void TFrmzlk::ToolButton1Click()
{
    ShellListView1->setViewStyle(ShellListView::ViewStyle::LargeIcons);
}

void TFrmzlk::ToolButton2Click()
{
    ShellListView1->setViewStyle(ShellListView::ViewStyle::List);
}

void TFrmzlk::ToolButton3Click()
{
    ShellListView1->setViewStyle(ShellListView::ViewStyle::Details);
}

void TFrmzlk::ToolButton4Click()
{
    ShellListView1->setViewStyle(ShellListView::ViewStyle::SmallIcons);
}

void TFrmzlk::ToolButton6Click()
{
    fitPicture(WebPreview::PictureFit::Width);
}

void TFrmzlk::ToolButton8Click()
{
    fitPicture(WebPreview::PictureFit::Height);
}

void TFrmzlk::ToolButton10Click()
{
    fitPicture(WebPreview::PictureFit::ActualSize);
}

void TFrmzlk::ToolButton11Click()
{
    deleteFile(currentFile_);
}

void TFrmzlk::ToolButton9Click()
{
    close();
}

void TFrmzlk::fitPicture(WebPreview::PictureFit fit)
{
    quietly([this, fit] {
        if (isExistingFile(currentFile_))
            WebBrowser1->showPicture(currentFile_, fit);
    });
}

void TFrmzlk::deleteFile(const QString& path)
{
    if (!isExistingFile(path) || !Prompt::ask(this, kDeleteQuestion))
        return;
    QFile::remove(path); // a failure is not reported: the list shows what is left
    ShellListView1->refresh();
    if (path == currentFile_)
        WebBrowser1->blank();
}
