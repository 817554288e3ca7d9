#include "engine/run/HarvestRun.h"

#include "engine/warc/RunArchive.h"

#include <utility>

HarvestRun::HarvestRun(Finished finished, qint64 decodingFloor, std::shared_ptr<RunArchive> archive)
    : finished_(std::move(finished)), decodingBudget_(decodingFloor, kDecodingRatio), archive_(std::move(archive))
{}

HarvestRun::~HarvestRun() = default;

QString HarvestRun::archiveError() const
{
    const std::lock_guard lock(mutex_);
    return archiveError_;
}

void HarvestRun::setArchiveError(const QString& error)
{
    const std::lock_guard lock(mutex_);
    archiveError_ = error;
}

HarvestRun::Totals HarvestRun::totals() const
{
    const std::lock_guard lock(mutex_);
    return totals_;
}

void HarvestRun::add(const Totals& counts)
{
    const std::lock_guard lock(mutex_);
    totals_.saved += counts.saved;
    totals_.pagesSaved += counts.pagesSaved;
    totals_.alreadySaved += counts.alreadySaved;
    totals_.failed += counts.failed;
    totals_.changed += counts.changed;
    totals_.deleted += counts.deleted;
    totals_.notDeleted += counts.notDeleted;
    totals_.missingResources += counts.missingResources;
    totals_.cappedPages += counts.cappedPages;
    for (std::size_t i = 0; i < counts.refused.size(); ++i)
        totals_.refused[i] += counts.refused[i];
    totals_.archived += counts.archived;
    totals_.archiveFailed += counts.archiveFailed;
    for (std::size_t i = 0; i < counts.archiveRefused.size(); ++i)
        totals_.archiveRefused[i] += counts.archiveRefused[i];
}

bool HarvestRun::claimBudgetNotice()
{
    const std::lock_guard lock(mutex_);
    return !std::exchange(budgetNoticed_, true);
}

void HarvestRun::deleteWhenFinished(const CacheEntry& entry)
{
    const std::lock_guard lock(mutex_);
    deletions_.push_back(entry);
}

std::vector<CacheEntry> HarvestRun::takeDeletions()
{
    const std::lock_guard lock(mutex_);
    return std::exchange(deletions_, {});
}

void HarvestRun::finish()
{
    Totals totals;
    {
        const std::lock_guard lock(mutex_);
        if (isFinished_)
            return;
        totals = totals_;
    }
    // Reported before the waiters wake, so that a tool that prints the totals once the run is finished
    // sees them reported first.
    if (finished_)
        finished_(totals);
    {
        const std::lock_guard lock(mutex_);
        isFinished_ = true;
    }
    finishedChanged_.notify_all();
}

bool HarvestRun::isFinished() const
{
    const std::lock_guard lock(mutex_);
    return isFinished_;
}

bool HarvestRun::waitFinished(std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(mutex_);
    return finishedChanged_.wait_for(lock, timeout, [this] { return isFinished_; });
}

QString HarvestRun::summaryText(const Totals& totals)
{
    QString text = QStringLiteral("已保存%1个").arg(totals.saved);
    if (totals.pagesSaved > 0)
        text += QStringLiteral("（其中页面%1个）").arg(totals.pagesSaved);
    text += QStringLiteral("，失败%1个").arg(totals.failed);
    const int overCaps = totals.refusedFor(EntryBody::Refusal::TooLarge) +
                         totals.refusedFor(EntryBody::Refusal::Amplified) +
                         totals.refusedFor(EntryBody::Refusal::BudgetSpent);
    if (overCaps > 0)
        text += QStringLiteral("（其中解码超出上限%1个）").arg(overCaps);
    text += QStringLiteral("，因缓存已变跳过%1个").arg(totals.changed);
    if (totals.alreadySaved > 0)
        text += QStringLiteral("，已存在相同文件%1个").arg(totals.alreadySaved);
    if (totals.deleted > 0 || totals.notDeleted > 0)
        text += QStringLiteral("，删除缓存%1条").arg(totals.deleted);
    if (totals.notDeleted > 0)
        text += QStringLiteral("，未能删除%1条").arg(totals.notDeleted);
    if (totals.missingResources > 0)
        text += QStringLiteral("，页面资源不在缓存中%1个").arg(totals.missingResources);
    if (totals.cappedPages > 0)
        text += QStringLiteral("，页面过于庞杂只存了一部分资源%1个").arg(totals.cappedPages);
    if (totals.archived > 0 || totals.archiveFailed > 0)
        text += QStringLiteral("；网页存档写入记录%1条，未能写入%2个").arg(totals.archived).arg(totals.archiveFailed);
    return text;
}
