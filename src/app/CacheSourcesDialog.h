#pragma once

#include "engine/cache/CacheDetector.h"
#include "engine/cache/CacheLocation.h"

#include <QDialog>
#include <memory>
#include <vector>

class QCheckBox;
class QDialogButtonBox;
class QLabel;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;
class WorkerThread;

// "缓存来源": every cache found in the user's folders and every one chosen before, one row each with its
// browser or app, profile, format, folder, number of entries and whether entries can be deleted from it,
// and a tick box saying whether runs use it; above them, tick boxes for the kinds of cache used (browsers,
// apps, service workers), which tick the rows of their kind when turned on or off. OK writes the kinds to
// the [cache kinds] section of webgleaner.ini and the choice to its [cache] section, which the next run
// reads. Ticking just the caches found of the kinds chosen and adding none writes no list at all: the
// program then goes on using whatever caches of those kinds it finds, programs installed later included.
//
// A row of service workers' caches can be cleared site by site: "按网站清除..." lists the sites whose caches
// the profile keeps and clears those ticked in the clean-up dialog, then counts the row again.
//
// Finding the caches and counting their entries read the user's folders, which can take long (a large
// cache, a slow or hung network file system): both run on threads of the dialog's own, which report to it
// queued and are stopped and joined when it closes, so neither the window nor closing it waits for them.
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
    ~CacheSourcesDialog() override;

    // Whether the caches are still being looked for; the list is empty and OK and the add button are
    // disabled meanwhile.
    bool isSearching() const { return searching_; }

    // Adds the cache in `folder` ticked, or tells the user it holds none; what the add button does with the
    // folder chosen.
    void addFolder(const QString& folder);
    // Writes the choice; false, with a message, when no cache is ticked.
    bool saveChoice();
    // Clears, once the user says yes, the service-worker caches of the sites named `siteNames` (as
    // CacheStorageRoot::sites names them) of the cache in `row`, in the clean-up dialog.
    void clearSites(int row, const QStringList& siteNames);

    QTreeWidget* list() const { return list_; }
    QCheckBox* browsersBox() const { return browsersBox_; }
    QCheckBox* appsBox() const { return appsBox_; }
    QCheckBox* serviceWorkersBox() const { return serviceWorkersBox_; }

    static QString formatName(CacheLocation::Kind kind);

private:
    // What the search found: each cache with whether it is ticked and whether it was found (rather than
    // only listed in the ini file).
    struct Source
    {
        CacheLocation location;
        bool ticked = false;
        bool found = false;
    };

    // The search, on `search`'s thread: the caches found and those listed, in the order of the rows.
    void find(const WorkerThread& search, QList<Source>& sources, QList<CacheLocation>& locations) const;
    void showSources(const QList<Source>& sources);
    QTreeWidgetItem* addRow(const CacheLocation& location, bool ticked, bool found);
    // Counts the entries of `locations` on `thread`, one after another, and fills in rows `firstRow` on.
    void countEntries(WorkerThread& thread, const QList<CacheLocation>& locations, int firstRow);
    void chooseFolder();
    // Asks which sites of the current row's service-worker caches to clear, and clears them.
    void chooseSitesToClear();
    // The kinds the tick boxes say.
    CacheDetector::Uses uses() const;
    // Ticks the found rows of the kinds now used and clears the others.
    void applyUses();

    const QString iniFile_;
    const CacheDetector::Homes homes_;
    QTreeWidget* list_ = nullptr;
    QCheckBox* browsersBox_ = nullptr;
    QCheckBox* appsBox_ = nullptr;
    QCheckBox* serviceWorkersBox_ = nullptr;
    // Each row's cache, in row order: what the kinds' tick boxes go by.
    QList<CacheLocation> rowLocations_;
    QLabel* searchingLabel_ = nullptr;
    QPushButton* addButton_ = nullptr;
    QPushButton* okButton_ = nullptr;
    QPushButton* clearSitesButton_ = nullptr;
    bool searching_ = true;
    // The search and its counting, then one thread for each folder added; all stopped and joined on closing.
    std::vector<std::unique_ptr<WorkerThread>> threads_;
};
