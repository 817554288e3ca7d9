#pragma once

#include "engine/cache/CacheDetector.h"
#include "engine/cache/CacheLocation.h"

#include <QDialog>

class QTreeWidget;
class QTreeWidgetItem;

// "缓存来源": every cache found in the user's folders and every one chosen before, one row each with its
// browser, profile, format, folder, number of entries and whether entries can be deleted from it, and a
// tick box saying whether runs use it. OK writes the choice to the [cache] section of webgleaner.ini, which
// the next run reads. Ticking every cache found and adding none writes no list at all: the program then
// goes on using whatever caches it finds, browsers installed later included.
class CacheSourcesDialog : public QDialog
{
    Q_OBJECT

public:
    enum Column
    {
        BrowserColumn,
        ProfileColumn,
        FormatColumn,
        FolderColumn,
        EntriesColumn,
        DeletableColumn,
    };

    CacheSourcesDialog(const QString& iniFile, const CacheDetector::Homes& homes, QWidget* parent = nullptr);

    // Adds the cache in `folder` ticked, or tells the user it holds none; what the add button does with the
    // folder chosen.
    void addFolder(const QString& folder);
    // Writes the choice; false, with a message, when no cache is ticked.
    bool saveChoice();

    QTreeWidget* list() const { return list_; }

    static QString browserOf(const CacheLocation& location);
    static QString profileOf(const CacheLocation& location);
    static QString formatName(CacheLocation::Kind kind);

private:
    void addRow(const CacheLocation& location, bool ticked, bool found);
    // Counts the cache's entries on a pool thread and fills the row in when done: a large cache takes a
    // while to walk.
    void countEntries(QTreeWidgetItem* row, const CacheLocation& location);
    void chooseFolder();

    const QString iniFile_;
    const CacheDetector::Homes homes_;
    QTreeWidget* list_ = nullptr;
};
