#include "app/ProgramLocale.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

bool ProgramLocale::install(QCoreApplication& application)
{
    QLocale::setDefault(locale());
    const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    bool found = false;
    // qtbase holds the widgets' and dialogs' texts, qtwebengine the preview's context menu.
    for (const char* catalog : {"qtbase", "qtwebengine"}) {
        auto* translator = new QTranslator(&application);
        if (translator->load(locale(), QString::fromLatin1(catalog), QStringLiteral("_"), folder)) {
            QCoreApplication::installTranslator(translator);
            found = true;
        } else {
            delete translator;
        }
    }
    return found;
}
