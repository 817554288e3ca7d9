#include "util/FolderDialog.h"

#include <QFileDialog>

namespace
{

FolderDialog::Chooser& chooser()
{
    static FolderDialog::Chooser installed;
    return installed;
}

} // namespace

void FolderDialog::setChooser(Chooser newChooser)
{
    chooser() = std::move(newChooser);
}

bool FolderDialog::BrowseFolder(QWidget* parent, const QString& title, QString* folder)
{
    folder->clear();
    // Application-modal, so every other window of the program waits while it is open.
    const QString chosen = chooser()
                               ? chooser()(title)
                               : QFileDialog::getExistingDirectory(parent, title, QString(), QFileDialog::ShowDirsOnly);
    if (chosen.isEmpty())
        return false;
    *folder = chosen;
    return true;
}
