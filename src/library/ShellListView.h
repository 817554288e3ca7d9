#pragma once

#include <QString>
#include <QWidget>

class LibraryFileModel;
class QAbstractItemView;
class QItemSelectionModel;
class QListView;
class QModelIndex;
class QStackedWidget;
class QTreeView;
class ThumbnailCache;

// The library's file list: the folders and files of one folder, in one of four view styles. Double-click
// or Enter opens a folder in place or a file with its associated program, Backspace goes up, F5 re-reads
// the folder, F2 renames in place, and the right button offers open, rename and delete.
class ShellListView : public QWidget
{
    Q_OBJECT

public:
    enum class ViewStyle
    {
        LargeIcons,
        List,
        Details,
        SmallIcons,
    };

    explicit ShellListView(QWidget* parent = nullptr);

    // Shows the contents of `folder`.
    void setRoot(const QString& folder);
    QString root() const { return root_; }

    // The full path of the selected folder or file; empty when nothing is selected.
    QString selectedPath() const;

    // Reads the shown folder afresh.
    void refresh();

    void setViewStyle(ViewStyle style);
    ViewStyle viewStyle() const { return style_; }
    // The view of the present style: the icon and list styles share one, details has its own.
    QAbstractItemView* currentView() const;
    LibraryFileModel* model() const { return model_; }
    ThumbnailCache* thumbnails() const { return thumbnails_; }

    // Opens the item the way a double-click does: a folder in place, a file with its program.
    void open(const QModelIndex& index);
    void goUp();

signals:
    // A mouse click on an item.
    void itemClicked();
    // The pop-up menu's delete on a file; the window asks and deletes.
    void deleteRequested(const QString& path);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void installModel();
    void applyIconStyle();
    void showContextMenu(QAbstractItemView* view, const QPoint& position);

    ThumbnailCache* const thumbnails_;         // for the window's life, across refreshes; owned by this widget
    LibraryFileModel* model_ = nullptr;        // replaced on refresh; owned by this widget
    QItemSelectionModel* selection_ = nullptr; // shared by both views, owned by the model
    QStackedWidget* stack_ = nullptr;
    QListView* iconView_ = nullptr;
    QTreeView* detailsView_ = nullptr;
    QString root_;
    ViewStyle style_ = ViewStyle::Details;
};
