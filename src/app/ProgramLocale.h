#pragma once

#include <QLocale>

class QCoreApplication;

// The program speaks Chinese whatever the user's LANG: Qt's own texts (standard buttons, the file and
// message dialogs) come from Qt's Chinese translations, and numbers, dates and sizes follow the Chinese
// locale. Installed once at start, before any window or worker exists.
class ProgramLocale
{
public:
    static QLocale locale() { return QLocale(QLocale::Chinese, QLocale::China); }

    // Makes locale() the default and installs Qt's translations for it into `application`. Whether the
    // translations were found (Debian's qt6-translations-l10n); the locale is set either way.
    static bool install(QCoreApplication& application);
};
