#include "cleanup/DelF.h"

#include "engine/cache/UrlCache.h"
#include "engine/tScanBuf.h"

#include <QSet>
#include <QStringList>

DelF::DelF(UrlCache& cache, Reports reports, FailureLog* log, std::function<void()> firstStep)
    : cache_(cache), reports_(std::move(reports)), log_(log), firstStep_(std::move(firstStep)),
      thread_(QStringLiteral("clean-up"), log)
{}

DelF::~DelF()
{
    requestStop();
    wait();
}

void DelF::start()
{
    thread_.start([this] { Execute(); });
}

void DelF::requestStop()
{
    stopRequested_ = true;
    thread_.requestStop();
}

void DelF::wait()
{
    thread_.wait();
}

void DelF::Execute()
{
    // A first step that fails leaves the cache as it was, which is still cleared.
    if (firstStep_)
        WorkerThread::guarded(log_, QStringLiteral("clean-up"), firstStep_);
    QStringList webAddresses;
    QSet<QString> seen;
    {
        const std::unique_ptr<CacheEnumeration> walk = cache_.enumerate();
        while (!stopRequested_) {
            std::optional<CacheEntry> entry;
            // A walk that throws (out of memory) ends here; what it found is still deleted.
            if (!WorkerThread::guarded(log_, QStringLiteral("clean-up"), [&] { entry = walk->next(); }) || !entry)
                break;
            if (tScanBuf::isWebAddress(entry->url) && !seen.contains(entry->url)) {
                seen.insert(entry->url);
                webAddresses << entry->url;
            }
        }
    }

    int deleted = 0;
    int lastPercent = -1;
    for (const QString& url : std::as_const(webAddresses)) {
        if (stopRequested_)
            break;
        if (WorkerThread::guarded(log_, url, [&] { cache_.remove(url); }))
            ++deleted;
        const int percent = int(qint64(deleted) * 100 / webAddresses.size());
        // One report per step of the bar, however many thousand entries there are.
        if (percent != lastPercent && reports_.progress) {
            lastPercent = percent;
            reports_.progress(percent);
        }
    }
    if (reports_.finished)
        reports_.finished(deleted);
}
