#include "library/ShellListView.h"

#include "library/LibraryFileModel.h"
#include "library/ThumbnailCache.h"

#include <QDesktopServices>
#include <QDir>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QListView>
#include <QMenu>
#include <QStackedWidget>
#include <QTreeView>
#include <QUrl>
#include <QVBoxLayout>

namespace
{
const QSize kLargeIcon(48, 48);
const QSize kSmallIcon(16, 16);
} // namespace

ShellListView::ShellListView(QWidget* parent) : QWidget(parent), thumbnails_(new ThumbnailCache(kLargeIcon, this))
{
    iconView_ = new QListView;
    iconView_->setObjectName(QStringLiteral("IconView"));
    iconView_->setMovement(QListView::Static);
    iconView_->setResizeMode(QListView::Adjust);
    iconView_->setWrapping(true);

    detailsView_ = new QTreeView;
    detailsView_->setObjectName(QStringLiteral("DetailsView"));
    detailsView_->setRootIsDecorated(false);
    detailsView_->setItemsExpandable(false);
    detailsView_->setExpandsOnDoubleClick(false);
    detailsView_->setUniformRowHeights(true);
    detailsView_->setSortingEnabled(true);
    detailsView_->header()->setSortIndicator(0, Qt::AscendingOrder);

    for (QAbstractItemView* view :
         {static_cast<QAbstractItemView*>(iconView_), static_cast<QAbstractItemView*>(detailsView_)}) {
        view->setSelectionMode(QAbstractItemView::SingleSelection);
        view->setEditTriggers(QAbstractItemView::EditKeyPressed);
        view->setContextMenuPolicy(Qt::CustomContextMenu);
        view->installEventFilter(this);
        connect(view, &QAbstractItemView::clicked, this, &ShellListView::itemClicked);
        connect(view, &QAbstractItemView::activated, this, &ShellListView::open);
        connect(view, &QWidget::customContextMenuRequested, this,
                [this, view](const QPoint& position) { showContextMenu(view, position); });
    }

    stack_ = new QStackedWidget;
    stack_->addWidget(iconView_);
    stack_->addWidget(detailsView_);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(stack_);

    installModel();
    setViewStyle(ViewStyle::Details);
    for (const auto& [column, width] : {std::pair{0, 200}, {1, 80}, {2, 90}, {3, 130}})
        detailsView_->setColumnWidth(column, width);
}

void ShellListView::installModel()
{
    LibraryFileModel* const old = model_;
    model_ = new LibraryFileModel(this);
    selection_ = new QItemSelectionModel(model_, model_);
    for (QAbstractItemView* view :
         {static_cast<QAbstractItemView*>(iconView_), static_cast<QAbstractItemView*>(detailsView_)}) {
        view->setModel(model_);
        view->setSelectionModel(selection_);
    }
    detailsView_->sortByColumn(detailsView_->header()->sortIndicatorSection(),
                               detailsView_->header()->sortIndicatorOrder());
    delete old;
    applyIconStyle();
    if (!root_.isEmpty())
        setRoot(root_);
}

void ShellListView::setRoot(const QString& folder)
{
    root_ = folder;
    const QModelIndex rootIndex = model_->setRootPath(folder);
    iconView_->setRootIndex(rootIndex);
    detailsView_->setRootIndex(rootIndex);
    selection_->clear();
}

QString ShellListView::selectedPath() const
{
    const QModelIndexList selected = selection_->selectedIndexes();
    return selected.isEmpty() ? QString() : model_->filePath(selected.first());
}

void ShellListView::refresh()
{
    // The model caches what it has read and only follows changes it is told of; a new one reads afresh.
    installModel();
}

void ShellListView::setViewStyle(ViewStyle style)
{
    style_ = style;
    switch (style) {
    case ViewStyle::Details:
        applyIconStyle();
        stack_->setCurrentWidget(detailsView_);
        return;
    case ViewStyle::LargeIcons:
        iconView_->setViewMode(QListView::IconMode);
        iconView_->setIconSize(kLargeIcon);
        iconView_->setGridSize(QSize(96, 48 + 3 * fontMetrics().height()));
        iconView_->setWordWrap(true);
        break;
    case ViewStyle::SmallIcons:
        iconView_->setViewMode(QListView::ListMode);
        iconView_->setFlow(QListView::LeftToRight);
        iconView_->setIconSize(kSmallIcon);
        iconView_->setGridSize(QSize(160, std::max(20, fontMetrics().height() + 4)));
        iconView_->setWordWrap(false);
        break;
    case ViewStyle::List:
        iconView_->setViewMode(QListView::ListMode);
        iconView_->setFlow(QListView::TopToBottom);
        iconView_->setIconSize(kSmallIcon);
        iconView_->setGridSize(QSize());
        iconView_->setWordWrap(false);
        break;
    }
    // Changing the mode resets movement and wrapping.
    iconView_->setMovement(QListView::Static);
    iconView_->setWrapping(true);
    iconView_->setResizeMode(QListView::Adjust);
    applyIconStyle();
    stack_->setCurrentWidget(iconView_);
}

void ShellListView::applyIconStyle()
{
    // Thumbnails in the large-icon view only: the others show icons too small to make a picture out.
    const bool large = style_ == ViewStyle::LargeIcons;
    model_->setIconStyle(large ? kLargeIcon : kSmallIcon, large ? thumbnails_ : nullptr);
}

QAbstractItemView* ShellListView::currentView() const
{
    return qobject_cast<QAbstractItemView*>(stack_->currentWidget());
}

void ShellListView::open(const QModelIndex& index)
{
    if (!index.isValid())
        return;
    if (model_->isDir(index))
        setRoot(model_->filePath(index));
    else
        QDesktopServices::openUrl(QUrl::fromLocalFile(model_->filePath(index)));
}

void ShellListView::goUp()
{
    QDir folder(root_);
    if (!root_.isEmpty() && folder.cdUp())
        setRoot(folder.absolutePath());
}

bool ShellListView::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::KeyPress) {
        switch (static_cast<QKeyEvent*>(event)->key()) {
        case Qt::Key_Backspace:
            goUp();
            return true;
        case Qt::Key_F5:
            refresh();
            return true;
        default:
            break;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void ShellListView::showContextMenu(QAbstractItemView* view, const QPoint& position)
{
    const QPersistentModelIndex index = view->indexAt(position);
    if (!index.isValid())
        return;
    const QString path = model_->filePath(index);
    const bool isFile = !model_->isDir(index);
    QMenu menu(this);
    menu.setObjectName(QStringLiteral("FileMenu"));
    menu.addAction(QStringLiteral("打开"), this, [this, index] { open(index); });
    menu.addAction(QStringLiteral("重命名"), this,
                   [view, index] { view->edit(QModelIndex(index).siblingAtColumn(0)); });
    menu.addSeparator();
    QAction* remove = menu.addAction(QStringLiteral("删除"), this, [this, path] { emit deleteRequested(path); });
    remove->setEnabled(isFile); // folders are not the library's to delete
    menu.exec(view->viewport()->mapToGlobal(position));
}
