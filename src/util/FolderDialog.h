#pragma once

#include <QString>
#include <functional>

class QWidget;

// The modal folder chooser: only folders of the file system can be chosen, and the program's other
// windows take no input while it is open.
class FolderDialog
{
public:
    // True when the user chose a folder, whose full path is then in `*folder`; false (and `*folder`
    // empty) when the user cancelled.
    static bool BrowseFolder(QWidget* parent, const QString& title, QString* folder);

    // Lets tests choose in place of a person; an empty chooser restores the real dialog.
    using Chooser = std::function<QString(const QString& title)>;
    static void setChooser(Chooser chooser);
};
