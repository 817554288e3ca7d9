#include "cleanup/DelF.h"

#include "engine/cache/UrlCache.h"
#include "engine/run/tScanBuf.h"
#include "util/FailureLog.h"

#include <QHash>
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
    QList<CacheEntry> webEntries;
    {
        QSet<QString> seen;
        const std::unique_ptr<CacheEnumeration> walk = cache_.enumerateAll();
        while (!stopRequested_) {
            std::optional<CacheEntry> entry;
            // A walk that throws (out of memory) ends here; what it found is still deleted.
            if (!WorkerThread::guarded(log_, QStringLiteral("clean-up"), [&] { entry = walk->next(); }) || !entry)
                break;
            // A damaged index.dat may lead to one record from several slots.
            const QString reference = entry->sourceFolder + u'\n' + entry->entryKey;
            if (tScanBuf::isWebAddress(entry->url) && !seen.contains(reference)) {
                seen.insert(reference);
                webEntries << std::move(*entry);
            }
        }
    }

    // What was not deleted, by cache folder, in the order the folders came up.
    struct Left
    {
        int failed = 0;
        QString firstFailedUrl;
        int readOnly = 0;
    };
    QStringList folders;
    QHash<QString, Left> left;
    Counts counts;
    int done = 0;
    int lastPercent = -1;
    for (const CacheEntry& entry : std::as_const(webEntries)) {
        if (stopRequested_)
            break;
        UrlCache::RemoveOutcome outcome = UrlCache::RemoveOutcome::Failed;
        WorkerThread::guarded(log_, entry.url, [&] { outcome = cache_.removeEntry(entry); });
        if (outcome == UrlCache::RemoveOutcome::Removed || outcome == UrlCache::RemoveOutcome::Gone) {
            ++counts.deleted;
        } else {
            if (!left.contains(entry.sourceFolder))
                folders << entry.sourceFolder;
            Left& folder = left[entry.sourceFolder];
            if (outcome == UrlCache::RemoveOutcome::ReadOnly) {
                ++counts.readOnly;
                ++folder.readOnly;
            } else {
                ++counts.failed;
                if (folder.failed++ == 0)
                    folder.firstFailedUrl = entry.url;
            }
        }
        const int percent = int(qint64(++done) * 100 / webEntries.size());
        // One report per step of the bar, however many thousand entries there are.
        if (percent != lastPercent && reports_.progress) {
            lastPercent = percent;
            reports_.progress(percent);
        }
    }
    if (log_) {
        for (const QString& folder : std::as_const(folders)) {
            const Left& kept = left.value(folder);
            if (kept.readOnly > 0)
                log_->logFailure(
                    QStringLiteral("未清除缓存“%1”中的%2项：此缓存只读").arg(folder, QString::number(kept.readOnly)));
            if (kept.failed > 0)
                log_->logFailure(QStringLiteral("未能清除缓存“%1”中的%2项，其一为“%3”")
                                     .arg(folder, QString::number(kept.failed), kept.firstFailedUrl));
        }
    }
    if (reports_.finished)
        reports_.finished(counts);
}
