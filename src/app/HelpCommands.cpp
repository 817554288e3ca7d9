#include "app/HelpCommands.h"

#include "app/HelpWindow.h"
#include "app/ProductPages.h"
#include "app/TAboutBox.h"
#include "util/ChmFile.h"

#include <QDir>
#include <QPointer>
#include <memory>

namespace
{
QPointer<HelpWindow>& openHelpWindow()
{
    static QPointer<HelpWindow> window;
    return window;
}
} // namespace

void HelpCommands::showHelp(QWidget* parent, const QString& programFolder)
{
    QPointer<HelpWindow>& window = openHelpWindow();
    if (window.isNull()) {
        std::unique_ptr<ChmFile> help = ChmFile::open(QDir(programFolder).filePath(HelpWindow::kFileName));
        if (!help)
            return;
        window = new HelpWindow(std::move(help), parent);
        window->setAttribute(Qt::WA_DeleteOnClose);
    }
    window->showTopic(HelpWindow::kFirstTopic);
    window->show();
    window->raise();
    window->activateWindow();
}

HelpWindow* HelpCommands::helpWindow()
{
    return openHelpWindow().data();
}

void HelpCommands::openHomePage()
{
    ProductPages::open(ProductPages::kHomePage);
}

void HelpCommands::showAbout(QWidget* parent)
{
    std::unique_ptr<TAboutBox> created;
    TAboutBox* box = TAboutBox::current();
    if (box == nullptr) {
        created = std::make_unique<TAboutBox>(parent);
        box = created.get();
    }
    box->exec();
}
