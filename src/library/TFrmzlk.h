#pragma once

#include "library/WebPreview.h"

#include <QDialog>
#include <QString>

class QAction;
class QLabel;
class QStatusBar;
class QToolBar;
class QTreeWidget;
class ShellListView;

// The library window: the plans on the left, the chosen plan's save folder in a file list, and the
// chosen file in a preview below it. Modal; created on each opening and destroyed on closing, so the
// plan tree always shows the plan file as it is when the window opens.
class TFrmzlk : public QDialog
{
    Q_OBJECT

public:
    // `programFolder` holds plancfg.ini, which the window reads and never writes.
    explicit TFrmzlk(const QString& programFolder, QWidget* parent = nullptr);
    ~TFrmzlk() override;

    // Opens the library window modally and returns when it is closed. With a plan name (the plan of a
    // result row), every plan of that exact name is chosen first, the last one staying selected; a name
    // that matches no plan leaves the window in its starting state.
    static void showLibrary(QWidget* parent, const QString& programFolder, const QString& planName = {});

    // The library window while one exists, else nullptr.
    static TFrmzlk* instance() { return instance_; }

    // Chooses every plan node named `planName` (compared exactly), each as if it were clicked.
    void choosePlan(const QString& planName);

    // A click in the plan tree: lists the selected plan's save folder.
    void TreeView1Click();
    // A click in the file list: previews the selected item and makes it the current file.
    void ShellListView1Click();

    QString currentFile() const { return currentFile_; }
    QString statusText() const;

    static const QString kMissingFolderText;
    static const QString kDeleteQuestion;

private:
    void createToolBar();
    void createPanes();
    void placeOnScreen();
    void LoadCfg();
    void setStatusText(const QString& text);
    void setFitButtonsEnabled(bool enabled);

    void ToolButton1Click();
    void ToolButton2Click();
    void ToolButton3Click();
    void ToolButton4Click();
    void ToolButton6Click();
    void ToolButton8Click();
    void ToolButton10Click();
    void ToolButton11Click();
    void ToolButton9Click();

    // Shows the current file's picture page, when the current file is an existing file.
    void fitPicture(WebPreview::PictureFit fit);
    // Asks, then deletes the file at `path` and re-reads the list; the preview is blanked when it showed
    // that file.
    void deleteFile(const QString& path);

    static TFrmzlk* instance_;

    const QString programFolder_;
    QString currentFile_;

    QToolBar* ToolBar1 = nullptr;
    QAction* largeIconsAction_ = nullptr;
    QAction* listAction_ = nullptr;
    QAction* detailsAction_ = nullptr;
    QAction* smallIconsAction_ = nullptr;
    QAction* deleteAction_ = nullptr;
    QAction* fitWidthAction_ = nullptr;
    QAction* fitHeightAction_ = nullptr;
    QAction* actualSizeAction_ = nullptr;
    QAction* exitAction_ = nullptr;
    QTreeWidget* TreeView1 = nullptr;
    ShellListView* ShellListView1 = nullptr;
    WebPreview* WebBrowser1 = nullptr;
    QStatusBar* StatusBar1 = nullptr;
    QLabel* statusLabel_ = nullptr;
};
