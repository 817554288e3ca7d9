#include "cleanup/DelF.h"

#include "engine/cache/UrlCache.h"
#include "engine/tScanBuf.h"

#include <QSet>
#include <QStringList>

DelF::DelF(UrlCache& cache, Reports reports) : cache_(cache), reports_(std::move(reports)) {}

DelF::~DelF()
{
    requestStop();
    wait();
}

void DelF::start()
{
    thread_ = std::thread([this] { Execute(); });
}

void DelF::requestStop()
{
    stopRequested_ = true;
}

void DelF::wait()
{
    if (thread_.joinable())
        thread_.join();
}

void DelF::Execute()
{
    QStringList webAddresses;
    QSet<QString> seen;
    {
        const std::unique_ptr<CacheEnumeration> walk = cache_.enumerate();
        while (!stopRequested_) {
            const std::optional<CacheEntry> entry = walk->next();
            if (!entry)
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
        cache_.remove(url);
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
