#pragma once

#include <QWidget>
#include <memory>

class ChmFile;
class HelpBrowser;
class QListWidget;

// The help viewer: the topics of the compiled help file on the left (from its table of contents), the
// chosen page on the right. One top-level window, reused by every help command.
class HelpWindow : public QWidget
{
    Q_OBJECT

public:
    static const QString kFileName;   // "webgleaner.chm"
    static const QString kFirstTopic; // "/1.htm"

    HelpWindow(std::unique_ptr<ChmFile> help, QWidget* parent = nullptr);
    ~HelpWindow() override;

    // Shows `topic` (such as "/1.htm") and marks it in the contents.
    void showTopic(const QString& topic);
    QString currentTopic() const;

private:
    void loadContents();
    void markTopic(const QString& topic);

    const std::unique_ptr<ChmFile> help_;
    QListWidget* contents_ = nullptr;
    HelpBrowser* browser_ = nullptr;
};
