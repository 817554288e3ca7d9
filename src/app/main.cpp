#include "app/FileLocations.h"
#include "app/ProgramLocale.h"
#include "app/TFrmMain.h"
#include "library/WebPreview.h"
#include "util/GuardedApplication.h"

#include <QFont>

int main(int argc, char* argv[])
{
    // The web engine of the previews wants its settings before the application exists.
    WebPreview::prepareApplication();
    GuardedApplication application(argc, argv);
    // Chinese whatever LANG says, before any window or worker formats a text.
    ProgramLocale::install(application);
    QApplication::setApplicationName(QStringLiteral("WebGleaner"));
    QFont font(QStringLiteral("宋体"));
    font.setPixelSize(12);
    QApplication::setFont(font);

    const FileLocations files = FileLocations::forProgram(QCoreApplication::applicationDirPath());
    files.makeFolders(); // a folder that cannot be made shows as a plan file that cannot be created
    TFrmMain mainWindow(files);
    mainWindow.show();
    return QApplication::exec();
}
