#include "engine/run/tScanBuf.h"

#include "engine/cache/UrlCache.h"
#include "engine/run/CopyQueue.h"
#include "engine/run/HarvestRun.h"
#include "engine/run/PlanMatcher.h"
#include "engine/run/ScanObserver.h"
#include "engine/save/TemporaryBesideFile.h"
#include "util/DateText.h"
#include "util/FailureLog.h"

#include <QSet>

namespace
{

// Every spelling of "http" the old system cache's addresses came in, run together; an address whose
// first four characters occur anywhere in it is a web address.
const QString kWebAddressPrefixes = QStringLiteral("httpHTTPHttpHTtpHTTphTTPhtTPhttPHtTPHttPHTtp");

// Refused entries logged one by one, at most; the rest are counted in one line at the end.
constexpr int kMaxLoggedRefusals = 20;

// How often the observer hears of the walk's progress: often enough for a moving bar, seldom enough to
// cost nothing against the walk.
constexpr qint64 kProgressPeriodMs = 100;

} // namespace

const QString tScanBuf::kSearchingText = QStringLiteral("正在检索数据，请稍候...");
const QString tScanBuf::kFinishedFormat = QStringLiteral("回收完毕，共回收%1条记录");

tScanBuf::tScanBuf(UrlCache& cache, CopyQueue& queue, RunPlanList plans, const std::atomic<bool>& closingFlag,
                   ScanObserver& observer, std::chrono::milliseconds pauseAfterWebEntry,
                   std::shared_ptr<HarvestRun> run, FailureLog* log)
    : cache_(cache), queue_(queue), plans_(std::move(plans)), closingFlag_(closingFlag), observer_(observer),
      pause_(pauseAfterWebEntry), run_(std::move(run)), log_(log), thread_(QStringLiteral("scanner"), log)
{}

tScanBuf::~tScanBuf()
{
    requestStop();
    wait();
}

void tScanBuf::start()
{
    thread_.start([this] { Execute(); });
}

void tScanBuf::requestStop()
{
    running_ = false;
    thread_.requestStop();
}

void tScanBuf::wait()
{
    thread_.wait();
}

bool tScanBuf::isWebAddress(const QString& url)
{
    return !url.isEmpty() && kWebAddressPrefixes.contains(url.left(4));
}

void tScanBuf::Execute()
{
    const QString what = QStringLiteral("scanner");
    // Whatever throws on the way (a cache that cannot be walked, memory running out), the run still ends
    // below: the window holds its next Start until then, the command line its totals, and the copy
    // worker the run's deletions.
    WorkerThread::guarded(log_, what, [this, &what] {
        observer_.hintText(kSearchingText);
        // A first step that fails is logged; the walk goes on over the caches as they were.
        if (firstStep_)
            WorkerThread::guarded(log_, what, firstStep_);
        if (removesLeftovers_)
            WorkerThread::guarded(log_, QStringLiteral("leftovers"), [this] { removeLeftovers(); });
        ScanCache();
    });
    WorkerThread::guarded(log_, what, [this] {
        observer_.hintText(kFinishedFormat.arg(rowCount_));
        if (refused_ > kMaxLoggedRefusals && log_ != nullptr)
            log_->logFailure(
                QStringLiteral("另有%1个缓存项无法读取或解码后过大，未回收").arg(refused_ - kMaxLoggedRefusals));
    });
    running_ = false;
    plans_.clear();
    // After the last job: the copy worker finishes the run when it gets here.
    if (run_ && !WorkerThread::guarded(log_, what, [this] { queue_.PushRunEnd(run_); }))
        run_->finish(); // without its end job the copy worker would never tell those waiting for it

    WorkerThread::guarded(log_, what, [this] { observer_.runEnded(); });
}

void tScanBuf::removeLeftovers() const
{
    const QDateTime runStart = QDateTime::currentDateTime();
    QSet<QString> folders;
    for (const std::optional<StrucRec>& plan : plans_) {
        if (plan && !plan->savpath.isEmpty())
            folders.insert(plan->savpath);
    }
    for (const QString& folder : folders)
        TemporaryBesideFile::removeLeftovers(folder, runStart);
}

void tScanBuf::ScanCache()
{
    const std::unique_ptr<CacheEnumeration> walk = cache_.enumerate();
    reportProgress(*walk, true);
    while (running_ && !closingFlag_) {
        const std::optional<CacheEntry> entry = walk->next();
        if (!entry)
            break;
        reportProgress(*walk, false);
        if (!isWebAddress(entry->url))
            continue;
        // One entry that throws (out of memory, say) is logged and passed over; the walk goes on.
        WorkerThread::guarded(log_, entry->url, [&] { MatchEntry(*entry); });
        if (pause_.count() > 0)
            thread_.pause(pause_);
    }
    const bool ranToEnd = running_ && !closingFlag_;
    reportProgress(*walk, true, ranToEnd);
}

void tScanBuf::reportProgress(const CacheEnumeration& walk, bool now, bool ranToEnd)
{
    if (!now && progressAge_.elapsed() < kProgressPeriodMs)
        return;
    progressAge_.start();
    const CacheEnumeration::Progress progress = walk.progress();
    qint64 total = progress.total;
    // Whatever the estimate said, a walk that ran to its end has walked everything there was.
    if (ranToEnd && total >= 0)
        total = progress.done;
    observer_.scanProgress({progress.done, total, rowCount_});
}

const QDateTime& tScanBuf::now()
{
    if (!nowAge_.isValid() || nowAge_.hasExpired(1000)) {
        now_ = QDateTime::currentDateTime();
        nowAge_.start();
    }
    return now_;
}

const QString& tScanBuf::dateText(const QDate& date)
{
    auto known = dateTexts_.find(date);
    if (known == dateTexts_.end())
        known = dateTexts_.insert(date, DateText::format(date));
    return *known;
}

void tScanBuf::MatchEntry(const CacheEntry& entry)
{
    const QDateTime& current = now();
    std::optional<qint64> size;
    if (entry.size != CacheEntry::kUnknownSize)
        size = entry.size;
    for (const std::optional<StrucRec>& plan : plans_) {
        if (closingFlag_)
            return;
        if (!plan || !PlanMatcher::PlanMatches(*plan, entry, current))
            continue;
        // Counted only for a row to show: the walk decodes nothing.
        if (!size) {
            size = entry.knownSize();
            if (!size) {
                refuse(entry);
                return;
            }
        }
        AddResultRow(entry.url, dateText(entry.lastAccess.toUTC().date()), QString::number(*size), plan->name);
        queue_.PushCopyJob(entry, plan->savpath, plan->ztype == 0, plan->ifdel, run_);
    }
}

void tScanBuf::refuse(const CacheEntry& entry)
{
    if (++refused_ <= kMaxLoggedRefusals && log_ != nullptr)
        log_->logFailure(QStringLiteral("缓存项无法读取或解码后过大，未回收：%1").arg(entry.url));
}

void tScanBuf::AddResultRow(const QString& url, const QString& dateText, const QString& sizeText,
                            const QString& planName)
{
    ++rowCount_;
    observer_.resultRow({url, dateText, sizeText, planName});
}
