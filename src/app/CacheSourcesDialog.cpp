#include "app/CacheSourcesDialog.h"

#include "cleanup/TFrmDelete.h"
#include "engine/cache/CacheEnumeration.h"
#include "engine/cache/CacheStorageRoot.h"
#include "engine/cache/UrlCache.h"
#include "util/FolderDialog.h"
#include "util/IniFile.h"
#include "util/Prompt.h"
#include "util/WorkerThread.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace
{

const QString kSection = QStringLiteral("cache");
constexpr int kFoundRole = Qt::UserRole + 1; // whether the row's cache was found in the user's folders

} // namespace

CacheSourcesDialog::CacheSourcesDialog(const QString& iniFile, const CacheDetector::Homes& homes, QWidget* parent)
    : QDialog(parent), iniFile_(iniFile), homes_(homes)
{
    setObjectName(QStringLiteral("CacheSourcesDialog"));
    setWindowTitle(QStringLiteral("缓存来源"));
    list_ = new QTreeWidget;
    list_->setObjectName(QStringLiteral("CacheList"));
    list_->setRootIsDecorated(false);
    list_->setHeaderLabels({QStringLiteral("浏览器或应用"), QStringLiteral("配置"), QStringLiteral("格式"),
                            QStringLiteral("文件夹"), QStringLiteral("项数"), QStringLiteral("可删除")});
    list_->header()->setStretchLastSection(false);
    list_->header()->setSectionResizeMode(FolderColumn, QHeaderView::Stretch);

    const CacheDetector::Uses used = CacheDetector::Uses::fromIni(iniFile_);
    browsersBox_ = new QCheckBox(QStringLiteral("浏览器"));
    browsersBox_->setObjectName(QStringLiteral("BrowsersBox"));
    browsersBox_->setChecked(used.browsers);
    appsBox_ = new QCheckBox(QStringLiteral("应用"));
    appsBox_->setObjectName(QStringLiteral("AppsBox"));
    appsBox_->setChecked(used.apps);
    serviceWorkersBox_ = new QCheckBox(QStringLiteral("Service Worker 缓存"));
    serviceWorkersBox_->setObjectName(QStringLiteral("ServiceWorkersBox"));
    serviceWorkersBox_->setChecked(used.serviceWorkers);
    auto* kindsRow = new QHBoxLayout;
    kindsRow->addWidget(new QLabel(QStringLiteral("使用的缓存：")));
    for (QCheckBox* box : {browsersBox_, appsBox_, serviceWorkersBox_}) {
        kindsRow->addWidget(box);
        connect(box, &QCheckBox::toggled, this, &CacheSourcesDialog::applyUses);
    }
    kindsRow->addStretch();

    searchingLabel_ = new QLabel(QStringLiteral("正在查找缓存，请稍候..."));
    searchingLabel_->setObjectName(QStringLiteral("SearchingLabel"));

    addButton_ = new QPushButton(QStringLiteral("添加文件夹..."));
    addButton_->setObjectName(QStringLiteral("AddFolderButton"));
    addButton_->setAutoDefault(false);
    addButton_->setEnabled(false);
    connect(addButton_, &QPushButton::clicked, this, &CacheSourcesDialog::chooseFolder);
    clearSitesButton_ = new QPushButton(QStringLiteral("按网站清除..."));
    clearSitesButton_->setObjectName(QStringLiteral("ClearSitesButton"));
    clearSitesButton_->setAutoDefault(false);
    clearSitesButton_->setEnabled(false);
    clearSitesButton_->setToolTip(QStringLiteral("清除所选 Service Worker 缓存中某些网站的缓存"));
    connect(clearSitesButton_, &QPushButton::clicked, this, &CacheSourcesDialog::chooseSitesToClear);
    connect(list_, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* current) {
        const int row = list_->indexOfTopLevelItem(current);
        clearSitesButton_->setEnabled(row >= 0 && row < rowLocations_.size() &&
                                      rowLocations_.at(row).kind == CacheLocation::Kind::ChromiumCacheStorage);
    });
    auto* buttons = new QDialogButtonBox;
    okButton_ = buttons->addButton(QStringLiteral("确 定"), QDialogButtonBox::AcceptRole);
    okButton_->setObjectName(QStringLiteral("OkButton"));
    okButton_->setEnabled(false);
    buttons->addButton(QStringLiteral("取 消"), QDialogButtonBox::RejectRole);
    connect(buttons, &QDialogButtonBox::accepted, this, [this] {
        if (saveChoice())
            accept();
    });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* buttonRow = new QHBoxLayout;
    buttonRow->addWidget(addButton_);
    buttonRow->addWidget(clearSitesButton_);
    buttonRow->addStretch();
    buttonRow->addWidget(buttons);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(kindsRow);
    layout->addWidget(searchingLabel_);
    layout->addWidget(list_);
    layout->addLayout(buttonRow);
    resize(760, 360);

    auto& search = *threads_.emplace_back(std::make_unique<WorkerThread>(QStringLiteral("cache sources"), nullptr));
    search.start([this, &search] {
        // Whatever goes wrong, the dialog stops searching, with what was found.
        QList<Source> sources;
        QList<CacheLocation> locations;
        WorkerThread::guarded(nullptr, QStringLiteral("cache sources"), [&] { find(search, sources, locations); });
        QMetaObject::invokeMethod(
            this, [this, sources] { showSources(sources); }, Qt::QueuedConnection);
        countEntries(search, locations, 0);
    });
}

void CacheSourcesDialog::find(const WorkerThread& search, QList<Source>& sources, QList<CacheLocation>& locations) const
{
    const QStringList configured = CacheDetector::configuredFolders(iniFile_, homes_.home);
    QList<CacheLocation> chosen;
    for (const QString& folder : configured) {
        if (search.stopRequested())
            return;
        const CacheLocation location = CacheDetector::recognise(folder);
        if (location.kind != CacheLocation::Kind::Unknown && !chosen.contains(location))
            chosen << location;
    }
    const QList<CacheLocation> found = CacheDetector::detect(homes_);
    const CacheDetector::Uses used = CacheDetector::Uses::fromIni(iniFile_);
    for (const CacheLocation& location : found)
        sources << Source{location, configured.isEmpty() ? used.includes(location) : chosen.contains(location), true};
    for (const CacheLocation& location : chosen) {
        if (!found.contains(location))
            sources << Source{location, true, false};
    }
    for (const Source& source : sources)
        locations << source.location;
}

CacheSourcesDialog::~CacheSourcesDialog()
{
    for (const std::unique_ptr<WorkerThread>& thread : threads_)
        thread->requestStop();
    for (const std::unique_ptr<WorkerThread>& thread : threads_)
        thread->wait();
}

void CacheSourcesDialog::showSources(const QList<Source>& sources)
{
    for (const Source& source : sources)
        addRow(source.location, source.ticked, source.found);
    for (int column : {BrowserColumn, ProfileColumn, FormatColumn, EntriesColumn, DeletableColumn})
        list_->resizeColumnToContents(column);
    searching_ = false;
    searchingLabel_->hide();
    addButton_->setEnabled(true);
    okButton_->setEnabled(true);
}

QString CacheSourcesDialog::formatName(CacheLocation::Kind kind)
{
    switch (kind) {
    case CacheLocation::Kind::ChromiumSimple:
        return QStringLiteral("Chromium 简单缓存");
    case CacheLocation::Kind::ChromiumBlockfile:
        return QStringLiteral("Chromium 块文件缓存");
    case CacheLocation::Kind::Firefox:
        return QStringLiteral("Firefox 缓存");
    case CacheLocation::Kind::IndexDat:
        return QStringLiteral("IE 缓存 (index.dat)");
    case CacheLocation::Kind::ChromiumCacheStorage:
        return QStringLiteral("Service Worker 缓存");
    case CacheLocation::Kind::WebKit:
        return QStringLiteral("WebKit 缓存");
    case CacheLocation::Kind::NoPermission:
        return QStringLiteral("无权读取");
    case CacheLocation::Kind::Unknown:
        break;
    }
    return QStringLiteral("未知");
}

QTreeWidgetItem* CacheSourcesDialog::addRow(const CacheLocation& location, bool ticked, bool found)
{
    auto* row = new QTreeWidgetItem(list_);
    rowLocations_ << location;
    row->setText(BrowserColumn, location.program);
    row->setText(ProfileColumn, location.profile);
    row->setText(FormatColumn, formatName(location.kind));
    row->setText(FolderColumn, location.folder);
    row->setToolTip(FolderColumn, location.folder);
    const bool deletable =
        location.kind != CacheLocation::Kind::ChromiumBlockfile && location.kind != CacheLocation::Kind::NoPermission;
    row->setText(DeletableColumn, deletable ? QStringLiteral("是") : QStringLiteral("否"));
    row->setData(BrowserColumn, kFoundRole, found);
    row->setFlags(row->flags() | Qt::ItemIsUserCheckable);
    row->setCheckState(BrowserColumn, ticked ? Qt::Checked : Qt::Unchecked);
    row->setText(EntriesColumn,
                 location.kind == CacheLocation::Kind::NoPermission ? QStringLiteral("-") : QStringLiteral("…"));
    return row;
}

void CacheSourcesDialog::countEntries(WorkerThread& thread, const QList<CacheLocation>& locations, int firstRow)
{
    for (qsizetype i = 0; i < locations.size() && !thread.stopRequested(); ++i) {
        const CacheLocation& location = locations[i];
        if (location.kind == CacheLocation::Kind::NoPermission)
            continue;
        qint64 count = -1;
        if (const std::unique_ptr<UrlCache> cache = CacheDetector::open(location)) {
            const std::unique_ptr<CacheEnumeration> walk = cache->enumerate();
            count = 0;
            // A stop ends the walk at the next entry: closing the dialog waits for no large cache.
            while (!thread.stopRequested() && walk->next())
                ++count;
        }
        if (thread.stopRequested())
            return;
        const int row = firstRow + int(i);
        QMetaObject::invokeMethod(
            this,
            [this, row, count] {
                if (QTreeWidgetItem* counted = list_->topLevelItem(row))
                    counted->setText(EntriesColumn, count < 0 ? QStringLiteral("-") : QString::number(count));
            },
            Qt::QueuedConnection);
    }
}

void CacheSourcesDialog::chooseFolder()
{
    QString folder;
    if (FolderDialog::BrowseFolder(this, QStringLiteral("选择缓存文件夹"), &folder))
        addFolder(folder);
}

void CacheSourcesDialog::addFolder(const QString& folder)
{
    const CacheLocation location = CacheDetector::recognise(folder);
    if (location.kind == CacheLocation::Kind::Unknown) {
        Prompt::error(this, QStringLiteral("“%1”不是可识别的浏览器缓存").arg(folder));
        return;
    }
    for (int i = 0; i < list_->topLevelItemCount(); ++i) {
        QTreeWidgetItem* row = list_->topLevelItem(i);
        if (row->text(FolderColumn) == location.folder) {
            row->setCheckState(BrowserColumn, Qt::Checked);
            return;
        }
    }
    addRow(location, true, false);
    const int row = list_->topLevelItemCount() - 1;
    auto& counting = *threads_.emplace_back(std::make_unique<WorkerThread>(QStringLiteral("cache count"), nullptr));
    counting.start([this, &counting, location, row] { countEntries(counting, {location}, row); });
}

CacheDetector::Uses CacheSourcesDialog::uses() const
{
    return {browsersBox_->isChecked(), appsBox_->isChecked(), serviceWorkersBox_->isChecked()};
}

void CacheSourcesDialog::applyUses()
{
    const CacheDetector::Uses used = uses();
    for (int i = 0; i < list_->topLevelItemCount() && i < rowLocations_.size(); ++i) {
        QTreeWidgetItem* row = list_->topLevelItem(i);
        if (row->data(BrowserColumn, kFoundRole).toBool())
            row->setCheckState(BrowserColumn, used.includes(rowLocations_.at(i)) ? Qt::Checked : Qt::Unchecked);
    }
}

void CacheSourcesDialog::chooseSitesToClear()
{
    const int row = list_->indexOfTopLevelItem(list_->currentItem());
    if (row < 0 || row >= rowLocations_.size())
        return;
    QDialog chooser(this);
    chooser.setWindowTitle(QStringLiteral("按网站清除 Service Worker 缓存"));
    auto* sites = new QListWidget;
    sites->setObjectName(QStringLiteral("SiteList"));
    for (const CacheStorageRoot::Site& site : CacheStorageRoot::sites(rowLocations_.at(row).folder)) {
        auto* item = new QListWidgetItem(site.name, sites);
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        item->setCheckState(Qt::Unchecked);
    }
    auto* buttons = new QDialogButtonBox;
    buttons->addButton(QStringLiteral("清 除"), QDialogButtonBox::AcceptRole);
    buttons->addButton(QStringLiteral("取 消"), QDialogButtonBox::RejectRole);
    connect(buttons, &QDialogButtonBox::accepted, &chooser, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, &chooser, &QDialog::reject);
    auto* layout = new QVBoxLayout(&chooser);
    layout->addWidget(new QLabel(QStringLiteral("选择要清除其缓存的网站：")));
    layout->addWidget(sites);
    layout->addWidget(buttons);
    if (chooser.exec() != QDialog::Accepted)
        return;
    QStringList chosen;
    for (int i = 0; i < sites->count(); ++i) {
        if (sites->item(i)->checkState() == Qt::Checked)
            chosen << sites->item(i)->text();
    }
    if (!chosen.isEmpty())
        clearSites(row, chosen);
}

void CacheSourcesDialog::clearSites(int row, const QStringList& siteNames)
{
    if (row < 0 || row >= rowLocations_.size() ||
        !Prompt::ask(this, QStringLiteral("确实要清除所选网站的 Service Worker 缓存吗？")))
        return;
    const CacheLocation location = rowLocations_.at(row);
    QStringList folders;
    for (const CacheStorageRoot::Site& site : CacheStorageRoot::sites(location.folder)) {
        if (siteNames.contains(site.name))
            folders << site.cacheFolders;
    }
    const std::unique_ptr<UrlCache> cache = CacheStorageRoot::open(folders);
    {
        TFrmDelete clearing(*cache, this);
        clearing.exec();
    }
    list_->topLevelItem(row)->setText(EntriesColumn, QStringLiteral("…"));
    auto& counting = *threads_.emplace_back(std::make_unique<WorkerThread>(QStringLiteral("cache count"), nullptr));
    counting.start([this, &counting, location, row] { countEntries(counting, {location}, row); });
}

bool CacheSourcesDialog::saveChoice()
{
    const CacheDetector::Uses used = uses();
    QStringList ticked;
    bool everyFoundTicked = true;
    bool onlyFound = true;
    for (int i = 0; i < list_->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* row = list_->topLevelItem(i);
        const bool isTicked = row->checkState(BrowserColumn) == Qt::Checked;
        const bool found = row->data(BrowserColumn, kFoundRole).toBool();
        if (isTicked)
            ticked << row->text(FolderColumn);
        // What the kinds chosen would use anyway needs no list.
        if (found && i < rowLocations_.size() && isTicked != used.includes(rowLocations_.at(i)))
            everyFoundTicked = false;
        if (!found && isTicked)
            onlyFound = false;
    }
    if (ticked.isEmpty()) {
        Prompt::inform(this, QStringLiteral("请至少选择一个缓存！"));
        return false;
    }
    IniFile ini(iniFile_);
    ini.update([&] {
        used.writeTo(ini);
        ini.eraseSection(kSection);
        if (everyFoundTicked && onlyFound)
            return;
        for (int i = 0; i < ticked.size(); ++i)
            ini.writeString(kSection, QStringLiteral("cache%1").arg(i + 1), ticked.at(i));
    });
    return true;
}
