#include "engine/tScanBuf.h"

#include "engine/CopyQueue.h"
#include "engine/PlanMatcher.h"
#include "engine/ScanObserver.h"
#include "engine/cache/UrlCache.h"
#include "util/DateText.h"

namespace
{

// Every spelling of "http" the old system cache's addresses came in, run together; an address whose
// first four characters occur anywhere in it is a web address.
const QString kWebAddressPrefixes = QStringLiteral("httpHTTPHttpHTtpHTTphTTPhtTPhttPHtTPHttPHTtp");

} // namespace

const QString tScanBuf::kSearchingText = QStringLiteral("正在检索数据，请稍候...");
const QString tScanBuf::kFinishedFormat = QStringLiteral("回收完毕，共回收%1条记录");

tScanBuf::tScanBuf(UrlCache& cache, CopyQueue& queue, RunPlanList plans, const std::atomic<bool>& closingFlag,
                   ScanObserver& observer, std::chrono::milliseconds pauseAfterWebEntry)
    : cache_(cache), queue_(queue), plans_(std::move(plans)), closingFlag_(closingFlag), observer_(observer),
      pause_(pauseAfterWebEntry)
{}

tScanBuf::~tScanBuf()
{
    requestStop();
    wait();
}

void tScanBuf::start()
{
    thread_ = std::thread([this] { Execute(); });
}

void tScanBuf::requestStop()
{
    running_ = false;
}

void tScanBuf::wait()
{
    if (thread_.joinable())
        thread_.join();
}

bool tScanBuf::isWebAddress(const QString& url)
{
    return !url.isEmpty() && kWebAddressPrefixes.contains(url.left(4));
}

void tScanBuf::Execute()
{
    observer_.hintText(kSearchingText);
    ScanCache();
    observer_.hintText(kFinishedFormat.arg(rowCount_));
    running_ = false;
    plans_.clear();
    observer_.runEnded();
}

void tScanBuf::ScanCache()
{
    const std::unique_ptr<CacheEnumeration> walk = cache_.enumerate();
    while (running_ && !closingFlag_) {
        const std::optional<CacheEntry> entry = walk->next();
        if (!entry)
            break;
        if (!isWebAddress(entry->url))
            continue;
        MatchEntry(*entry);
        if (pause_.count() > 0)
            std::this_thread::sleep_for(pause_);
    }
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
    for (const std::optional<StrucRec>& plan : plans_) {
        if (closingFlag_)
            return;
        if (!plan || !PlanMatcher::PlanMatches(*plan, entry, current))
            continue;
        AddResultRow(entry.url, dateText(entry.lastAccess.toUTC().date()), QString::number(entry.size), plan->name);
        queue_.PushCopyJob(entry, plan->savpath, plan->ztype == 0, plan->ifdel);
    }
}

void tScanBuf::AddResultRow(const QString& url, const QString& dateText, const QString& sizeText,
                            const QString& planName)
{
    ++rowCount_;
    observer_.resultRow({url, dateText, sizeText, planName});
}
