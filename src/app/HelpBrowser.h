#pragma once

#include <QTextBrowser>

class ChmFile;

// Shows the pages of a compiled help file. Pages, style sheets and pictures come out of the file; links
// between pages stay inside it, and web addresses open in the user's web browser.
class HelpBrowser : public QTextBrowser
{
    Q_OBJECT

public:
    // `help` must outlive the browser.
    explicit HelpBrowser(const ChmFile& help, QWidget* parent = nullptr);

    // The address of a topic of the help file, such as "/1.htm".
    static QUrl topicUrl(const QString& topic);
    // The topic shown, such as "/1.htm"; empty before the first one.
    QString currentTopic() const;

    QVariant loadResource(int type, const QUrl& name) override;

private:
    const ChmFile& help_;
};
