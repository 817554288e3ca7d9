#include "engine/keep/CacheKeeper.h"

#include "engine/archive/PageModel.h"
#include "engine/cache/CacheStorageRoot.h"
#include "engine/cache/EntryBody.h"
#include "engine/cache/UrlCache.h"
#include "engine/keep/InotifyWatcher.h"
#include "engine/keep/KeepObserver.h"
#include "engine/keep/KeptCache.h"
#include "engine/run/CopyQueue.h"
#include "engine/run/HarvestRun.h"
#include "engine/run/PlanMatcher.h"
#include "util/DateText.h"
#include "util/FailureLog.h"
#include "util/WorkerThread.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QUrl>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <utility>

namespace
{

using Clock = KeptCache::Clock;

const QString kDeleteAfterNotice = QStringLiteral("方案“%1”设置了回收后删除缓存项，守候时不删除");
const QString kOverflowNotice = QStringLiteral("文件变化太多，系统漏报了一些，已重新读取全部缓存");
const QString kWatchLimitReason =
    QStringLiteral("%1：文件监视数已达系统上限（fs.inotify.max_user_watches），未守候；调高这一上限后重新开始守候即可");
const QString kWatchLimitNotice = QStringLiteral(
    "%1：文件监视数已达系统上限（fs.inotify.max_user_watches），不再守候；调高这一上限后重新开始守候即可");
const QString kWatchFailedReason = QStringLiteral("%1：无法监视其文件夹（%2），未守候");
const QString kNoWatcherReason =
    QStringLiteral("%1：系统不再给本用户监视文件变化（fs.inotify.max_user_instances 已用完），未守候");
const QString kUnreadableReason = QStringLiteral("%1：无权读取或不是可读的缓存，未守候");
const QString kRefusedLine = QStringLiteral("缓存项无法读取或解码后过大，未回收：%1");

// Entries refused one by one in the log, at most, as a run logs them.
constexpr int kMaxLoggedRefusals = 20;

// Pages held at once for their pictures; past this, a page is queued as it is. Each holds its entry and
// the addresses it waits for, not its bytes.
constexpr int kMaxHeldPages = 1000;
// The addresses one held page waits for at most: each is looked up again whenever the caches change.
constexpr qsizetype kMaxAwaited = 500;
// A cache read by walking that never stops changing (a busy blockfile cache) is still walked this often,
// in settle times.
constexpr int kWalkEverySettles = 10;

std::optional<StoredBody::FileStamp> stampOf(const QString& path)
{
    struct stat status = {};
    if (stat(QFile::encodeName(path).constData(), &status) != 0 || !S_ISREG(status.st_mode))
        return std::nullopt;
    return StoredBody::FileStamp::of(status);
}

QString joined(const QString& parent, const QString& name)
{
    return parent.isEmpty() ? name : parent + u'/' + name;
}

// The nearest folder above `path` that is there (at worst the root).
QString nearestFolderAbove(const QString& path)
{
    QString folder = QFileInfo(path).path();
    while (!QFileInfo(folder).isDir() && folder != QFileInfo(folder).path())
        folder = QFileInfo(folder).path();
    return folder;
}

} // namespace

// What the copy worker's batches report into, shared with their Finished calls: those may come after the
// keeper is gone, or after keeping ended, when nobody is told any more.
struct CacheKeeper::Ledger
{
    explicit Ledger(KeepObserver& told) : observer(&told) {}

    std::mutex mutex;
    std::condition_variable batchDone;
    HarvestRun sums; // every batch's totals, added up
    KeepTotals totals;
    int outstanding = 0; // batches queued and not carried out yet

    // Held while the observer is called, so that keepingEnded comes after every totalsChanged.
    std::mutex reportMutex;
    KeepObserver* observer; // null once keeping has ended

    KeepTotals current()
    {
        const std::lock_guard lock(mutex);
        KeepTotals now = totals;
        now.saves = sums.totals();
        return now;
    }

    void batchFinished(const HarvestRun::Totals& counts)
    {
        sums.add(counts);
        {
            const std::lock_guard lock(mutex);
            --outstanding;
        }
        batchDone.notify_all();
        const std::lock_guard report(reportMutex);
        if (observer)
            observer->totalsChanged(current());
    }
};

// The keeper's thread and everything it alone touches.
class CacheKeeper::State
{
public:
    State(UrlCache& cache, std::vector<CacheLocation> locations, CopyQueue& queue, tScanBuf::RunPlanList plans,
          KeepObserver& observer, FailureLog* log, KeepSettings settings, std::shared_ptr<Ledger> ledger)
        : cache_(cache), locations_(std::move(locations)), queue_(queue), plans_(std::move(plans)), observer_(observer),
          log_(log), settings_(settings), ledger_(std::move(ledger)), watcher_(settings.maxWatches),
          thread_(QStringLiteral("keeper"), log)
    {
        // Deleting from the caches as the browser fills them would take pages' pictures away from under
        // the pages still to come; keeping only copies.
        for (std::optional<StrucRec>& plan : plans_) {
            if (plan && plan->ifdel) {
                plan->ifdel = false;
                deleteAfterPlans_ << plan->name;
            }
        }
    }

    void start()
    {
        thread_.start([this] { run(); });
    }
    void requestStop()
    {
        thread_.requestStop();
        watcher_.wake();
    }
    void wait() { thread_.wait(); }
    void simulateOverflow() { watcher_.injectOverflow(); }

private:
    // A watched folder's part in keeping: a folder of a cache (relative to it), or the nearest folder
    // above a cache that is not there, watched until it comes back.
    struct WatchUser
    {
        int unit = -1;
        QString relative;
        bool awaitsFolder = false;
    };

    // A page waiting for the resources it loads to reach a cache.
    struct HeldPage
    {
        CacheEntry entry;
        std::vector<int> plans;
        qint64 size = 0;
        QStringList awaited;
        Clock::time_point deadline;
    };

    void run();
    void setUp();
    // Watches `unit`'s folders, or the folder above it while it is not there; 0 or the errno that failed.
    int establish(int unit);
    int watchTree(int unit, const QString& relative);
    void watchAbove(int unit);
    void unwatch(int unit);
    void unwatchFolder(int watch, const WatchUser& user);
    void dropLocation(int location);

    void handle(const std::vector<InotifyWatcher::Event>& events);
    void fileChanged(int unit, const QString& relative, const QString& name, quint32 mask);
    void folderMade(int unit, const QString& relative);
    void folderGone(int unit);
    void folderAboveChanged(int unit);
    // Watches `unit` again after its folder went or came; it is read whole once it is there.
    void rewatch(int unit);

    void readSettled(Clock::time_point now);
    void walkChanged(Clock::time_point now);
    // Reads the cache of `unit` whole and takes what was not taken; `counted` as a rescan in the totals.
    void walk(int unit, bool counted);
    void consider(KeptCache& unit, const CacheEntry& entry);
    void match(const CacheEntry& entry);
    void hold(const CacheEntry& entry, std::vector<int> plans, qint64 size);
    QStringList awaitedReferences(const CacheEntry& entry) const;
    void recheckHeld(Clock::time_point now, bool cachesChanged);
    void release(const HeldPage& page);
    void queue(const CacheEntry& entry, int plan, qint64 size);
    void endBatch();
    std::optional<Clock::duration> nextWake(Clock::time_point now) const;
    void notice(const QString& text);

    UrlCache& cache_;
    const std::vector<CacheLocation> locations_;
    CopyQueue& queue_;
    tScanBuf::RunPlanList plans_;
    QStringList deleteAfterPlans_;
    KeepObserver& observer_;
    FailureLog* const log_;
    const KeepSettings settings_;
    const std::shared_ptr<Ledger> ledger_;

    InotifyWatcher watcher_;
    std::vector<std::unique_ptr<KeptCache>> units_;
    QSet<int> droppedLocations_;
    QHash<int, QList<WatchUser>> watchUsers_;
    // By the page entry's folder and key: a newer version of a held page replaces the one held.
    QHash<QString, HeldPage> held_;
    std::shared_ptr<HarvestRun> batch_;
    int refused_ = 0;
    bool entriesRead_ = false; // since held pages were last looked at
    WorkerThread thread_;
};

void CacheKeeper::State::run()
{
    setUp();
    for (std::size_t unit = 0; unit < units_.size() && !thread_.stopRequested(); ++unit) {
        if (units_[unit]->present)
            walk(int(unit), true);
    }
    endBatch();
    while (!thread_.stopRequested()) {
        const std::optional<Clock::duration> wake = nextWake(Clock::now());
        std::optional<std::chrono::milliseconds> timeout;
        if (wake) // rounded up, so that what is due is due when the wait ends
            timeout = std::chrono::ceil<std::chrono::milliseconds>(*wake);
        const std::vector<InotifyWatcher::Event> events = watcher_.wait(timeout);
        if (thread_.stopRequested())
            break;
        WorkerThread::guarded(log_, QStringLiteral("keeper"), [&] {
            handle(events);
            const Clock::time_point now = Clock::now();
            readSettled(now);
            walkChanged(now);
            // Lookups find more only once an entry was read; a folder's events alone change nothing there.
            recheckHeld(now, std::exchange(entriesRead_, false));
        });
        endBatch();
    }
    // Pages still waiting go as they are: the caches hold what they hold.
    for (const HeldPage& page : std::as_const(held_))
        release(page);
    held_.clear();
    endBatch();
}

void CacheKeeper::State::notice(const QString& text)
{
    WorkerThread::guarded(log_, QStringLiteral("keeper"), [&] { observer_.notice(text); });
}

void CacheKeeper::State::setUp()
{
    QStringList notKept;
    for (int location = 0; location < int(locations_.size()); ++location) {
        const CacheLocation& where = locations_[std::size_t(location)];
        QStringList folders;
        switch (where.kind) {
        case CacheLocation::Kind::NoPermission:
        case CacheLocation::Kind::Unknown:
            notKept << kUnreadableReason.arg(where.title());
            droppedLocations_.insert(location);
            continue;
        case CacheLocation::Kind::ChromiumCacheStorage:
            folders = CacheStorageRoot::cacheFolders(where.folder);
            break;
        default:
            folders << where.folder;
            break;
        }
        int error = watcher_.isValid() ? 0 : watcher_.error();
        for (const QString& folder : std::as_const(folders)) {
            if (error != 0)
                break;
            units_.push_back(std::make_unique<KeptCache>(where.kind, folder, location));
            error = establish(int(units_.size()) - 1);
        }
        if (error != 0) {
            dropLocation(location);
            if (error == ENOSPC)
                notKept << kWatchLimitReason.arg(where.title());
            else if (error == EMFILE && !watcher_.isValid())
                notKept << kNoWatcherReason.arg(where.title());
            else
                notKept << kWatchFailedReason.arg(where.title(), QString::fromLocal8Bit(strerror(error)));
        }
    }
    QStringList kept;
    for (int location = 0; location < int(locations_.size()); ++location) {
        if (!droppedLocations_.contains(location))
            kept << locations_[std::size_t(location)].title();
    }
    WorkerThread::guarded(log_, QStringLiteral("keeper"), [&] { observer_.keepingStarted(kept, notKept); });
    for (const QString& plan : std::as_const(deleteAfterPlans_))
        notice(kDeleteAfterNotice.arg(plan));
}

int CacheKeeper::State::establish(int unit)
{
    KeptCache& cache = *units_[std::size_t(unit)];
    if (!QFileInfo(cache.folder()).isDir()) {
        watchAbove(unit);
        return 0;
    }
    const int error = watchTree(unit, QString());
    if (error == ENOENT) { // gone again while its folders were being watched
        unwatch(unit);
        watchAbove(unit);
        return 0;
    }
    cache.present = error == 0;
    return error;
}

int CacheKeeper::State::watchTree(int unit, const QString& relative)
{
    const KeptCache& cache = *units_[std::size_t(unit)];
    const QString path = relative.isEmpty() ? cache.folder() : cache.folder() + u'/' + relative;
    const InotifyWatcher::Added added = watcher_.add(path);
    if (added.watch < 0)
        return added.error;
    QList<WatchUser>& users = watchUsers_[added.watch];
    if (!std::any_of(users.cbegin(), users.cend(), [&](const WatchUser& user) {
            return user.unit == unit && !user.awaitsFolder && user.relative == relative;
        }))
        users.append({unit, relative, false});
    // Subfolders made before the watch above was in place are found here; those made after, by its events.
    const QDir folder(path);
    for (const QString& name : folder.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name)) {
        if (!cache.watchesSubfolder(relative, name))
            continue;
        if (const int error = watchTree(unit, joined(relative, name)); error != 0 && error != ENOENT)
            return error;
    }
    return 0;
}

void CacheKeeper::State::watchAbove(int unit)
{
    KeptCache& cache = *units_[std::size_t(unit)];
    cache.present = false;
    const InotifyWatcher::Added added = watcher_.add(nearestFolderAbove(cache.folder()));
    // Without a watch above (the limit), the cache is looked for again at the next overflow or change of
    // any other cache; nothing else can be done without polling.
    if (added.watch >= 0)
        watchUsers_[added.watch].append({unit, QString(), true});
}

void CacheKeeper::State::unwatch(int unit)
{
    for (auto users = watchUsers_.begin(); users != watchUsers_.end();) {
        users->removeIf([&](const WatchUser& user) { return user.unit == unit; });
        if (users->isEmpty()) {
            watcher_.remove(users.key());
            users = watchUsers_.erase(users);
        } else {
            ++users;
        }
    }
}

void CacheKeeper::State::unwatchFolder(int watch, const WatchUser& gone)
{
    const auto users = watchUsers_.find(watch);
    if (users == watchUsers_.end())
        return;
    users->removeIf([&](const WatchUser& user) {
        return user.unit == gone.unit && user.relative == gone.relative && user.awaitsFolder == gone.awaitsFolder;
    });
    if (users->isEmpty()) {
        watcher_.remove(watch);
        watchUsers_.erase(users);
    }
}

void CacheKeeper::State::dropLocation(int location)
{
    droppedLocations_.insert(location);
    for (int unit = 0; unit < int(units_.size()); ++unit) {
        KeptCache& cache = *units_[std::size_t(unit)];
        if (cache.location() != location)
            continue;
        unwatch(unit);
        cache.present = false;
        cache.pending.clear();
        cache.taken.clear();
        cache.changed = false;
        cache.rescanDue = false;
    }
}

void CacheKeeper::State::handle(const std::vector<InotifyWatcher::Event>& events)
{
    bool overflowed = false;
    QSet<int> gone;
    QSet<int> above;
    QList<std::pair<int, QString>> madeFolders;
    for (const InotifyWatcher::Event& event : events) {
        if (event.mask & IN_Q_OVERFLOW) {
            overflowed = true;
            continue;
        }
        const QList<WatchUser> users = watchUsers_.value(event.watch);
        if (event.mask & IN_IGNORED)
            watchUsers_.remove(event.watch); // the system ended the watch: its folder is gone
        for (const WatchUser& user : users) {
            KeptCache& cache = *units_[std::size_t(user.unit)];
            if (user.awaitsFolder) {
                above.insert(user.unit);
                continue;
            }
            if (event.name.isEmpty()) {
                // The folder itself: the cache's own folder gone or moved away means the cache is. A
                // subfolder moved away (Firefox puts a damaged cache's entries/ aside as trash) is watched
                // no more: its events would be taken for those of the folder made in its place.
                if (!(event.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)))
                    continue;
                if (user.relative.isEmpty())
                    gone.insert(user.unit);
                else if (event.mask & IN_MOVE_SELF)
                    unwatchFolder(event.watch, user);
                continue;
            }
            if (event.mask & IN_ISDIR) {
                if ((event.mask & (IN_CREATE | IN_MOVED_TO)) && cache.watchesSubfolder(user.relative, event.name))
                    madeFolders.append({user.unit, joined(user.relative, event.name)});
                continue;
            }
            fileChanged(user.unit, user.relative, event.name, event.mask);
        }
    }
    for (const int unit : std::as_const(gone))
        folderGone(unit);
    for (const auto& [unit, relative] : std::as_const(madeFolders)) {
        if (!gone.contains(unit) && units_[std::size_t(unit)]->present)
            folderMade(unit, relative);
    }
    if (overflowed) {
        notice(kOverflowNotice);
        for (int unit = 0; unit < int(units_.size()); ++unit) {
            KeptCache& cache = *units_[std::size_t(unit)];
            if (cache.present)
                cache.rescanDue = true;
            else if (!droppedLocations_.contains(cache.location()))
                above.insert(unit);
        }
    }
    for (const int unit : std::as_const(above))
        folderAboveChanged(unit);
    for (int unit = 0; unit < int(units_.size()) && !thread_.stopRequested(); ++unit) {
        if (units_[std::size_t(unit)]->rescanDue && units_[std::size_t(unit)]->present)
            walk(unit, true);
    }
}

void CacheKeeper::State::fileChanged(int unit, const QString& relative, const QString& name, quint32 mask)
{
    KeptCache& cache = *units_[std::size_t(unit)];
    if (droppedLocations_.contains(cache.location()))
        return;
    const Clock::time_point now = Clock::now();
    if (cache.reading() == KeptCache::Reading::Walk) {
        if (!cache.changed)
            cache.changedFirst = now;
        cache.changed = true;
        cache.changedLast = now;
        return;
    }
    const std::optional<QString> key = cache.entryKeyOf(relative, name);
    if (!key)
        return;
    if ((mask & (IN_DELETE | IN_MOVED_FROM)) && cache.isMainFile(name)) {
        // Evicted: what was remembered of it goes too.
        cache.pending.remove(*key);
        cache.taken.remove(*key);
        return;
    }
    const std::optional<StoredBody::FileStamp> stamp = stampOf(cache.entryPath(*key));
    if (!stamp) { // its main file is not there (yet): its writing brings another event
        cache.pending.remove(*key);
        return;
    }
    cache.pending.insert(*key, {stamp, now});
}

void CacheKeeper::State::folderMade(int unit, const QString& relative)
{
    KeptCache& cache = *units_[std::size_t(unit)];
    if (const int error = watchTree(unit, relative); error == ENOSPC) {
        notice(kWatchLimitNotice.arg(locations_[std::size_t(cache.location())].title()));
        dropLocation(cache.location());
        return;
    }
    // Files written before its watch was in place: as if each had just changed.
    const std::function<void(const QString&)> noteFiles = [&](const QString& folder) {
        const QDir dir(cache.folder() + u'/' + folder);
        for (const QString& name : dir.entryList(QDir::Files | QDir::Hidden, QDir::Name))
            fileChanged(unit, folder, name, IN_CLOSE_WRITE);
        for (const QString& name : dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name)) {
            if (cache.watchesSubfolder(folder, name))
                noteFiles(joined(folder, name));
        }
    };
    noteFiles(relative);
}

void CacheKeeper::State::folderGone(int unit)
{
    KeptCache& cache = *units_[std::size_t(unit)];
    cache.pending.clear();
    cache.taken.clear();
    cache.changed = false;
    // Pages composed meanwhile look their pictures up in the folder as it is now.
    cache_.forgetFolder(cache.folder());
    cache.reader().forgetFolder(cache.folder());
    // Made again at once (a browser clearing its cache), or watched for from the folder above.
    rewatch(unit);
}

void CacheKeeper::State::folderAboveChanged(int unit)
{
    const KeptCache& cache = *units_[std::size_t(unit)];
    if (!cache.present && !droppedLocations_.contains(cache.location()))
        rewatch(unit);
}

void CacheKeeper::State::rewatch(int unit)
{
    KeptCache& cache = *units_[std::size_t(unit)];
    unwatch(unit);
    if (establish(unit) == ENOSPC) {
        notice(kWatchLimitNotice.arg(locations_[std::size_t(cache.location())].title()));
        dropLocation(cache.location());
    } else if (cache.present) {
        cache.rescanDue = true; // what it holds now is read as a whole
    }
}

void CacheKeeper::State::readSettled(Clock::time_point now)
{
    for (const std::unique_ptr<KeptCache>& unit : units_) {
        KeptCache& cache = *unit;
        QStringList settled;
        for (auto pending = cache.pending.begin(); pending != cache.pending.end(); ++pending) {
            if (now - pending->since < settings_.settle)
                continue;
            const std::optional<StoredBody::FileStamp> stamp = stampOf(cache.entryPath(pending.key()));
            if (stamp == pending->stamp)
                settled << pending.key();
            else // still being written (or gone): from now on it must hold still again
                *pending = {stamp, now};
        }
        // The copy worker's reader learns the entry as it is read, so that pages find it by its URL.
        UrlCache& reader = cache_.ownsFolder(cache.folder()) ? cache_ : cache.reader();
        for (const QString& key : std::as_const(settled)) {
            cache.pending.remove(key);
            if (thread_.stopRequested())
                return;
            // Not usable (an error, a redirect) or not whole after all: its next write brings another event.
            if (const std::optional<CacheEntry> entry = reader.readEntryOf(cache.folder(), key))
                WorkerThread::guarded(log_, entry->url, [&] { consider(cache, *entry); });
        }
    }
}

void CacheKeeper::State::walkChanged(Clock::time_point now)
{
    for (int unit = 0; unit < int(units_.size()); ++unit) {
        KeptCache& cache = *units_[std::size_t(unit)];
        if (!cache.changed || !cache.present)
            continue;
        if (now - cache.changedLast >= settings_.settle ||
            now - cache.changedFirst >= kWalkEverySettles * settings_.settle) {
            cache.changed = false;
            walk(unit, false);
        }
    }
}

void CacheKeeper::State::walk(int unit, bool counted)
{
    KeptCache& cache = *units_[std::size_t(unit)];
    cache.rescanDue = false;
    if (counted) {
        const std::lock_guard lock(ledger_->mutex);
        ++ledger_->totals.rescans;
    }
    // Lookups learn the cache afresh too: a walked cache's URL map, or a folder made again.
    cache_.forgetFolder(cache.folder());
    cache.reader().forgetFolder(cache.folder());
    const qint64 settledBeforeNs = (QDateTime::currentMSecsSinceEpoch() - settings_.settle.count()) * 1'000'000;
    QSet<QString> seen;
    const std::unique_ptr<CacheEnumeration> entries = cache.reader().enumerate();
    while (!thread_.stopRequested()) {
        const std::optional<CacheEntry> entry = entries->next();
        if (!entry)
            break;
        seen.insert(entry->entryKey);
        // Written a moment ago: it may not be the last write; it waits to settle like any changed file.
        if (cache.reading() == KeptCache::Reading::EntryFiles && entry->body.stamp &&
            entry->body.stamp->modifiedNs > settledBeforeNs) {
            cache.pending.insert(entry->entryKey, {stampOf(cache.entryPath(entry->entryKey)), Clock::now()});
            continue;
        }
        WorkerThread::guarded(log_, entry->url, [&] { consider(cache, *entry); });
    }
    if (thread_.stopRequested())
        return;
    // What is no longer there is forgotten: eviction, or events lost in an overflow.
    cache.taken.removeIf([&](QHash<QString, quint64>::iterator taken) { return !seen.contains(taken.key()); });
}

void CacheKeeper::State::consider(KeptCache& cache, const CacheEntry& entry)
{
    entriesRead_ = true;
    const quint64 identity = KeptCache::identityOf(entry);
    const auto taken = cache.taken.constFind(entry.entryKey);
    if (taken != cache.taken.cend() && *taken == identity)
        return;
    cache.taken.insert(entry.entryKey, identity);
    match(entry);
}

void CacheKeeper::State::match(const CacheEntry& entry)
{
    if (!tScanBuf::isWebAddress(entry.url))
        return;
    const QDateTime now = QDateTime::currentDateTime();
    std::optional<qint64> size;
    if (entry.size != CacheEntry::kUnknownSize)
        size = entry.size;
    std::vector<int> documentPlans;
    for (int plan = 0; plan < int(plans_.size()); ++plan) {
        const std::optional<StrucRec>& record = plans_[std::size_t(plan)];
        if (!record || !PlanMatcher::PlanMatches(*record, entry, now))
            continue;
        // Counted only for a row to show, as a run counts it.
        if (!size) {
            size = entry.knownSize();
            if (!size) {
                if (++refused_ <= kMaxLoggedRefusals && log_ != nullptr)
                    log_->logFailure(kRefusedLine.arg(entry.url));
                return;
            }
        }
        if (record->ztype == 0)
            documentPlans.push_back(plan);
        else
            queue(entry, plan, *size);
    }
    if (!documentPlans.empty())
        hold(entry, std::move(documentPlans), *size);
}

void CacheKeeper::State::hold(const CacheEntry& entry, std::vector<int> plans, qint64 size)
{
    HeldPage page{entry, std::move(plans), size, {}, Clock::now() + settings_.pageHold};
    const QString key = entry.sourceFolder + u'\n' + entry.entryKey;
    held_.remove(key); // an older version of the page waits no more: it is not there any more
    if (held_.size() < kMaxHeldPages && settings_.pageHold.count() > 0)
        page.awaited = awaitedReferences(entry);
    if (page.awaited.isEmpty())
        release(page);
    else
        held_.insert(key, std::move(page));
}

// What a page waits for: each address its markup loads (as the browser loads it, not the "src=" text
// found in scripts or comments), resolved and stripped of its fragment as the archive looks it up, that no
// cache holds yet. Style sheets' own pictures are not waited for: a sheet is written before them, and the
// sheet alone cannot be told from one that has none.
QStringList CacheKeeper::State::awaitedReferences(const CacheEntry& entry) const
{
    const std::variant<QByteArray, EntryBody::Refusal> bytes = EntryBody::read(entry.body, PlanMatcher::kMaxPageSize);
    if (!std::holds_alternative<QByteArray>(bytes))
        return {}; // the copy worker refuses it and says why
    const PageModel page = PageModel::parse(entry.url, std::get<QByteArray>(bytes), entry.contentType);
    QStringList awaited;
    QSet<QString> asked;
    for (const PageModel::Reference& reference : page.references()) {
        if (!reference.loadedByBrowser)
            continue;
        QUrl address(reference.url);
        address.setFragment(QString());
        const QString fetched = address.toString(QUrl::FullyEncoded);
        if (fetched == entry.url || asked.contains(fetched))
            continue;
        asked.insert(fetched);
        if (!cache_.lookup(fetched))
            awaited << fetched;
        if (awaited.size() >= kMaxAwaited || thread_.stopRequested())
            break;
    }
    return awaited;
}

void CacheKeeper::State::recheckHeld(Clock::time_point now, bool cachesChanged)
{
    for (auto page = held_.begin(); page != held_.end();) {
        if (cachesChanged && now < page->deadline)
            page->awaited.removeIf([&](const QString& url) { return cache_.lookup(url).has_value(); });
        if (now >= page->deadline || page->awaited.isEmpty()) {
            release(*page);
            page = held_.erase(page);
        } else {
            ++page;
        }
    }
}

void CacheKeeper::State::release(const HeldPage& page)
{
    for (const int plan : page.plans)
        queue(page.entry, plan, page.size);
}

void CacheKeeper::State::queue(const CacheEntry& entry, int plan, qint64 size)
{
    const StrucRec& record = *plans_[std::size_t(plan)];
    if (!batch_) {
        const std::shared_ptr<Ledger> ledger = ledger_;
        batch_ =
            std::make_shared<HarvestRun>([ledger](const HarvestRun::Totals& counts) { ledger->batchFinished(counts); });
        const std::lock_guard lock(ledger_->mutex);
        ++ledger_->outstanding;
    }
    queue_.PushCopyJob(entry, record.savpath, record.ztype == 0, false, batch_);
    {
        const std::lock_guard lock(ledger_->mutex);
        ++ledger_->totals.matched;
    }
    const ResultRow row{entry.url, DateText::format(entry.lastAccess.toUTC().date()), QString::number(size),
                        record.name};
    WorkerThread::guarded(log_, entry.url, [&] { observer_.resultRow(row); });
}

void CacheKeeper::State::endBatch()
{
    if (!batch_)
        return;
    const std::shared_ptr<HarvestRun> batch = std::move(batch_);
    batch_.reset();
    if (!WorkerThread::guarded(log_, QStringLiteral("keeper"), [&] { queue_.PushRunEnd(batch); }))
        batch->finish();
}

std::optional<Clock::duration> CacheKeeper::State::nextWake(Clock::time_point now) const
{
    std::optional<Clock::time_point> next;
    const auto earliest = [&](Clock::time_point at) {
        if (!next || at < *next)
            next = at;
    };
    for (const std::unique_ptr<KeptCache>& cache : units_) {
        for (const KeptCache::Pending& pending : cache->pending)
            earliest(pending.since + settings_.settle);
        if (cache->changed)
            earliest(std::min(cache->changedLast + settings_.settle,
                              cache->changedFirst + kWalkEverySettles * settings_.settle));
    }
    for (const HeldPage& page : held_)
        earliest(page.deadline);
    if (!next)
        return std::nullopt;
    return std::max(Clock::duration::zero(), *next - now);
}

CacheKeeper::CacheKeeper(UrlCache& cache, std::vector<CacheLocation> caches, CopyQueue& queue,
                         tScanBuf::RunPlanList plans, KeepObserver& observer, FailureLog* log, KeepSettings settings)
    : ledger_(std::make_shared<Ledger>(observer)),
      state_(
          std::make_unique<State>(cache, std::move(caches), queue, std::move(plans), observer, log, settings, ledger_)),
      finishWait_(settings.finishWait)
{}

CacheKeeper::~CacheKeeper()
{
    requestStop();
    wait();
}

void CacheKeeper::start()
{
    started_ = true;
    state_->start();
}

void CacheKeeper::requestStop()
{
    state_->requestStop();
}

void CacheKeeper::wait()
{
    state_->wait();
    if (!started_)
        return;
    started_ = false;
    {
        std::unique_lock lock(ledger_->mutex);
        ledger_->batchDone.wait_for(lock, finishWait_, [this] { return ledger_->outstanding == 0; });
    }
    const std::lock_guard report(ledger_->reportMutex);
    if (ledger_->observer)
        ledger_->observer->keepingEnded(ledger_->current());
    ledger_->observer = nullptr;
}

KeepTotals CacheKeeper::totals() const
{
    return ledger_->current();
}

void CacheKeeper::simulateQueueOverflow()
{
    state_->simulateOverflow();
}
