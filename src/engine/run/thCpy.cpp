#include "engine/run/thCpy.h"

#include "engine/archive/PageModel.h"
#include "engine/archive/PageText.h"
#include "engine/archive/VisibleText.h"
#include "engine/cache/EntryBody.h"
#include "engine/cache/UrlCache.h"
#include "engine/run/CopyQueue.h"
#include "engine/run/HarvestRun.h"
#include "engine/run/PlanMatcher.h"
#include "engine/save/DestinationNamer.h"
#include "engine/save/FileSink.h"
#include "engine/save/TemporaryBesideFile.h"
#include "engine/warc/RunArchive.h"
#include "util/FailureLog.h"

#include <QDate>
#include <QFile>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <thread>
#include <unistd.h>
#include <variant>

namespace
{

// Has the names in `folders` reach the disk: the saved files must be there before the cache entries they
// were made from are deleted, or a crash soon after could lose both. Their bytes reached it before they
// were put in place (FileSink::flushToDisk); this is the folder's own record of their names, one short
// call a folder, unlike a sync of the whole file system, which can take minutes behind other programs'
// writes and which nothing could interrupt. The system's words for a failure; empty when all went well.
QString syncToDisk(const QSet<QString>& folders)
{
    for (const QString& folder : folders) {
        const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        const bool synced = fd >= 0 && ::fsync(fd) == 0;
        const int error = errno;
        if (fd >= 0)
            ::close(fd);
        if (!synced)
            return QString::fromLocal8Bit(std::strerror(error));
    }
    return {};
}

// The date an archive of the page in `entry` carries: when the browser received this version of the page,
// so that the same version composed again (a keeper restarted, a run after keeping) comes out as the same
// bytes, which the save then finds in place, rather than as a copy under the next free name. Today only
// where the cache tells neither.
QDate archiveDate(const CacheEntry& entry)
{
    if (entry.responseTime.isValid())
        return entry.responseTime.toLocalTime().date();
    if (entry.body.stamp)
        return QDateTime::fromMSecsSinceEpoch(entry.body.stamp->modifiedNs / 1'000'000).date();
    return QDate::currentDate();
}

QString refusalText(EntryBody::Refusal refusal)
{
    switch (refusal) {
    case EntryBody::Refusal::None:
        break;
    case EntryBody::Refusal::Vanished:
        return QStringLiteral("缓存项已不存在");
    case EntryBody::Refusal::Changed:
        return QStringLiteral("缓存项已被浏览器改写");
    case EntryBody::Refusal::NotRegular:
        return QStringLiteral("缓存文件不是普通文件");
    case EntryBody::Refusal::Unreadable:
        return QStringLiteral("无法读取缓存文件");
    case EntryBody::Refusal::Damaged:
        return QStringLiteral("缓存数据已损坏");
    case EntryBody::Refusal::Undecodable:
        return QStringLiteral("无法解码");
    case EntryBody::Refusal::TooLarge:
        return QStringLiteral("解码后超过大小上限");
    case EntryBody::Refusal::SinkFailed:
        return QStringLiteral("写入失败");
    case EntryBody::Refusal::Amplified:
        return QStringLiteral("解码后超出存储大小允许的倍数");
    case EntryBody::Refusal::BudgetSpent:
        return QStringLiteral("本次运行解码写出的数据已达上限");
    }
    return QString();
}

QString archiveRefusalText(const WarcWriter::Outcome& outcome)
{
    switch (outcome.refusal) {
    case WarcWriter::Refusal::None:
        break;
    case WarcWriter::Refusal::NoResponseHead:
        return QStringLiteral("缓存没有保存可用的响应首部");
    case WarcWriter::Refusal::Partial:
        return QStringLiteral("缓存只有部分内容");
    case WarcWriter::Refusal::TooLarge:
        return QStringLiteral("正文超过存档的大小上限");
    case WarcWriter::Refusal::BodyRefused:
        return refusalText(outcome.bodyRefusal);
    case WarcWriter::Refusal::Changed:
        return QStringLiteral("缓存项在写入存档时被改写");
    case WarcWriter::Refusal::WriteFailed:
        return QStringLiteral("写入存档文件失败");
    }
    return QString();
}

bool meansChanged(EntryBody::Refusal refusal)
{
    return refusal == EntryBody::Refusal::Vanished || refusal == EntryBody::Refusal::Changed;
}

} // namespace

// One job on its way: taken from the queue, prepared by a preparer, committed by the worker.
struct thCpy::Task
{
    enum class Result
    {
        Ready,   // the file is written and waits to be renamed into place
        Changed, // the entry changed or vanished since the scan
        Failed,
    };

    std::unique_ptr<CopyJob> job;
    // The archive's date, read when the job is taken: reading the local time looks the time zone up,
    // which is better done by one thread than by each preparer.
    QDate today;
    Result result = Result::Failed;
    QString error;                                         // why it failed
    EntryBody::Refusal refusal = EntryBody::Refusal::None; // why its body was refused, where it was
    bool overBudget = false; // something it decoded (a part of its archive, say) was refused by the run's budget
    std::unique_ptr<TemporaryBesideFile> file;
    QString title;    // a document's title, which names it; empty without one
    QString pageText; // a document's visible text, where its run's web archive lists pages
    // Where its run writes a web archive: the record of its entry, then of each part of its page's archive
    // (report.parts), made while preparing so that committing only appends them.
    std::vector<WarcWriter::Prepared> archived;
    MhtmlComposer::Report report;
    bool prepared = false; // guarded by poolMutex_ once the task is submitted

    void fail(const QString& why)
    {
        result = Result::Failed;
        error = why;
        refusal = EntryBody::Refusal::None;
        file.reset();
    }
    // Sorts out the outcome of reading the body (and of writing it, through `sink` when there is one).
    void settle(EntryBody::Refusal outcome, const FileSink* sink = nullptr)
    {
        if (outcome == EntryBody::Refusal::None) {
            result = Result::Ready;
        } else if (meansChanged(outcome)) {
            result = Result::Changed;
            file.reset();
        } else if (sink != nullptr && sink->aborted()) {
            fail(QStringLiteral("已中止"));
        } else if (outcome == EntryBody::Refusal::SinkFailed) {
            fail(refusalText(outcome) + QStringLiteral("：") + (sink != nullptr ? sink->errorText() : QString()));
        } else {
            fail(refusalText(outcome));
        }
        refusal = outcome;
    }
};

int thCpy::defaultPreparers()
{
    return std::clamp(static_cast<int>(std::thread::hardware_concurrency()), 1, 8);
}

thCpy::thCpy(CopyQueue& queue, UrlCache& cache, const std::atomic<bool>& closingFlag,
             std::chrono::milliseconds pauseAfterJob, FailureLog* log, int preparers)
    : queue_(queue), cache_(cache), closingFlag_(closingFlag), pause_(pauseAfterJob), log_(log),
      composer_(cache, &abortPreparation_), thread_(QStringLiteral("copy worker"), log)
{
    for (int i = 0; i < preparers; ++i)
        preparers_.push_back(std::make_unique<WorkerThread>(QStringLiteral("copy prep %1").arg(i + 1), log));
}

thCpy::~thCpy()
{
    requestStop();
    wait();
}

void thCpy::start()
{
    running_ = true;
    thread_.start([this] { Execute(); });
}

void thCpy::requestStop()
{
    {
        const std::lock_guard lock(stateMutex_);
        stopRequested_ = true;
    }
    thread_.requestStop();
    stateChanged_.notify_all();
    queue_.wakeWaiters();
    {
        const std::lock_guard lock(poolMutex_);
    }
    poolChanged_.notify_all();
}

void thCpy::wait()
{
    thread_.wait();
    // The preparers outlive the worker's loop only until it has abandoned its window.
    {
        const std::lock_guard lock(poolMutex_);
        for (const std::unique_ptr<WorkerThread>& preparer : preparers_)
            preparer->requestStop();
    }
    poolChanged_.notify_all();
    for (const std::unique_ptr<WorkerThread>& preparer : preparers_)
        preparer->wait();
}

void thCpy::Execute()
{
    running_ = true;
    for (const std::unique_ptr<WorkerThread>& preparer : preparers_) {
        WorkerThread* const self = preparer.get();
        if (!self->isRunning() && !self->stopRequested())
            self->start([this, self] { preparerLoop(*self); });
    }
    while (!stopRequested_) {
        if (takesJobs())
            fillWindow();
        if (!takesJobs()) {
            abandonWindow();
            if (stopRequested_)
                break;
            // Closing: no more jobs, only the stop request to wait for.
            std::unique_lock lock(stateMutex_);
            stateChanged_.wait_for(lock, kIdleWait, [this] { return stopRequested_.load(); });
            continue;
        }
        if (window_.empty()) {
            queue_.waitForJob(kIdleWait);
            continue;
        }
        const std::shared_ptr<Task> front = window_.front();
        {
            std::unique_lock lock(poolMutex_);
            // Closing is flagged without a wake-up, hence the bound.
            poolChanged_.wait_for(lock, kIdleWait, [&] { return front->prepared || !takesJobs(); });
            if (!front->prepared)
                continue;
        }
        window_.pop_front();
        const bool wasJob = !front->job->endsRun;
        WorkerThread::guarded(log_, QStringLiteral("copy worker"), [&] { commit(*front); });
        --windowSize_;
        jobDone();
        if (wasJob && pause_.count() > 0)
            thread_.pause(pause_);
    }
    abandonWindow();
    {
        const std::lock_guard lock(stateMutex_);
        running_ = false;
    }
    stateChanged_.notify_all();
}

bool thCpy::fillWindow()
{
    // Enough to keep every preparer busy while the worker commits, and few enough open files.
    const std::size_t limit = 2 * preparers_.size() + 1;
    bool took = false;
    while (window_.size() < limit) {
        // Counted before it leaves the queue, so that waitUntilIdle never sees it in neither place.
        ++windowSize_;
        std::unique_ptr<CopyJob> job = queue_.TakeFirstJob();
        if (!job) {
            --windowSize_;
            break;
        }
        auto task = std::make_shared<Task>();
        task->job = std::move(job);
        if (task->job->isDocument)
            task->today = archiveDate(task->job->entry);
        took = true;
        if (task->job->endsRun) {
            task->prepared = true;
        } else if (preparers_.empty()) {
            prepare(*task);
            task->prepared = true;
        } else {
            submit(task);
        }
        window_.push_back(std::move(task));
    }
    return took;
}

void thCpy::submit(const std::shared_ptr<Task>& task)
{
    {
        const std::lock_guard lock(poolMutex_);
        pending_.push_back(task);
    }
    poolChanged_.notify_all();
}

void thCpy::preparerLoop(const WorkerThread& self)
{
    for (;;) {
        std::shared_ptr<Task> task;
        {
            std::unique_lock lock(poolMutex_);
            poolChanged_.wait(lock, [&] { return !pending_.empty() || self.stopRequested(); });
            if (self.stopRequested())
                return;
            task = std::move(pending_.front());
            pending_.pop_front();
        }
        prepare(*task);
        {
            const std::lock_guard lock(poolMutex_);
            task->prepared = true;
        }
        poolChanged_.notify_all();
    }
}

void thCpy::abandonWindow()
{
    if (window_.empty())
        return;
    abortPreparation_ = true;
    {
        std::unique_lock lock(poolMutex_);
        // Jobs no preparer has started are dropped as they are; those in hand stop at their next chunk.
        for (const std::shared_ptr<Task>& task : pending_)
            task->prepared = true;
        pending_.clear();
        poolChanged_.wait(lock, [this] {
            return std::all_of(window_.begin(), window_.end(),
                               [](const std::shared_ptr<Task>& t) { return t->prepared; });
        });
    }
    // Their temporary files go with them.
    window_.clear();
    windowSize_ = 0;
    abortPreparation_ = false;
    jobDone();
}

void thCpy::prepare(Task& task) const
{
    // Whatever the job decodes, its archive's parts as well as its page, draws on its run's budget.
    const EntryBody::BudgetScope budget(task.job->run ? &task.job->run->decodingBudget() : nullptr);
    const bool completed = WorkerThread::guarded(log_, QStringLiteral("copy prep"), [&] {
        const CopyJob& job = *task.job;
        // Writing to a folder that is not named would put files in the working folder.
        if (job.saveFolder.isEmpty()) {
            task.fail(QStringLiteral("方案没有保存文件夹"));
            return;
        }
        // A cache whose records share their files checks the record again; the others' bodies carry a stamp
        // that reading checks.
        if (!cache_.isCurrent(job.entry)) {
            task.result = Task::Result::Changed;
            return;
        }
        if (job.isDocument)
            prepareDocument(task);
        else
            prepareResource(task);
    });
    if (!completed)
        task.fail(QStringLiteral("内部错误"));
    task.overBudget = budget.refusedAny();
    if (task.result == Task::Result::Ready && task.job->run && task.job->run->archive()) {
        const RunArchive& archive = *task.job->run->archive();
        // A stop ends the reading of a large body too. A resource's record was made as its body was copied.
        if (task.archived.empty())
            task.archived.push_back(archive.prepare(task.job->entry, &abortPreparation_));
        for (const CacheEntry& part : task.report.parts)
            task.archived.push_back(archive.prepare(part, &abortPreparation_));
    }
}

void thCpy::prepareResource(Task& task) const
{
    const CopyJob& job = *task.job;
    task.file = std::make_unique<TemporaryBesideFile>(job.saveFolder);
    if (!task.file->isOpen()) {
        task.fail(task.file->errorText());
        return;
    }
    FileSink sink(task.file->fd(), abortPreparation_);
    // Where the run writes a web archive, the record is made from the same reading of the stored body.
    std::unique_ptr<WarcWriter::Preparation> record;
    if (job.run && job.run->archive())
        record = job.run->archive()->startPreparation(job.entry, &abortPreparation_);
    ByteSink* const tap = record && record->wantsBody() ? record.get() : nullptr;
    EntryBody::Refusal refusal =
        EntryBody::stream(job.entry.body, sink, EntryBody::kMaxDecodedSize, EntryBody::kMaxDecodedRatio, tap);
    if (record)
        task.archived.push_back(record->finish(refusal));
    if (refusal == EntryBody::Refusal::None && !(job.deleteAfter ? sink.flushToDisk() : sink.flush()))
        refusal = EntryBody::Refusal::SinkFailed;
    task.settle(refusal, &sink);
}

void thCpy::prepareDocument(Task& task) const
{
    const CopyJob& job = *task.job;
    std::variant<QByteArray, EntryBody::Refusal> page = EntryBody::read(job.entry.body, PlanMatcher::kMaxPageSize);
    if (const EntryBody::Refusal* refusal = std::get_if<EntryBody::Refusal>(&page)) {
        task.settle(*refusal);
        return;
    }
    const PageModel model = PageModel::parse(job.entry.url, std::get<QByteArray>(page), job.entry.contentType);
    task.title = model.title();
    if (job.run && job.run->archive() && job.run->archive()->wantsPages())
        task.pageText = VisibleText::of(PageText::toUnicode(model.bytes(), model.charset()).toUtf8());
    task.file = std::make_unique<TemporaryBesideFile>(job.saveFolder);
    if (!task.file->isOpen()) {
        task.fail(task.file->errorText());
        return;
    }
    FileSink sink(task.file->fd(), abortPreparation_);
    const bool written = composer_.compose(model, task.today, sink, &task.report) &&
                         (job.deleteAfter ? sink.flushToDisk() : sink.flush());
    task.settle(written ? EntryBody::Refusal::None : EntryBody::Refusal::SinkFailed, &sink);
}

void thCpy::commit(Task& task)
{
    const CopyJob& job = *task.job;
    if (job.endsRun) {
        finishRun(job);
        return;
    }
    HarvestRun::Totals counts;
    if (task.result == Task::Result::Ready) {
        DestinationNamer names = job.isDocument
                                     ? DestinationNamer::forDocument(job.saveFolder, job.entry.localName, task.title)
                                     : DestinationNamer::forResource(job.saveFolder, job.entry.localName);
        switch (task.file->placeAtFirstFree(names)) {
        case TemporaryBesideFile::Placement::Placed:
            counts.saved = 1;
            counts.pagesSaved = job.isDocument ? 1 : 0;
            break;
        case TemporaryBesideFile::Placement::Identical:
            counts.alreadySaved = 1;
            break;
        case TemporaryBesideFile::Placement::Taken:
            task.fail(QStringLiteral("保存文件夹中同名文件过多"));
            break;
        case TemporaryBesideFile::Placement::Failed:
            task.fail(task.file->errorText());
            break;
        }
        if (task.result == Task::Result::Ready) {
            counts.missingResources = task.report.missing;
            counts.cappedPages = task.report.capped ? 1 : 0;
            logPage(job, task.report);
            if (job.run && job.run->archive())
                archiveJob(task, &counts);
            if (job.deleteAfter) {
                if (job.run) {
                    foldersToSync_.insert(job.saveFolder);
                    job.run->deleteWhenFinished(job.entry);
                } else if (syncToDisk({job.saveFolder}).isEmpty() &&
                           cache_.removeEntry(job.entry) == UrlCache::RemoveOutcome::Removed) {
                    counts.deleted = 1;
                }
            }
        }
    }
    if (task.result == Task::Result::Changed)
        counts.changed = 1;
    if (task.result != Task::Result::Ready && task.refusal != EntryBody::Refusal::None)
        counts.refused[std::size_t(task.refusal)] = 1;
    if (task.result == Task::Result::Failed) {
        counts.failed = 1;
        // Once the run's budget is spent, its coded entries are refused one after another: the one line
        // below stands for them all.
        if (log_ != nullptr && task.refusal != EntryBody::Refusal::BudgetSpent)
            log_->logFailure(QStringLiteral("未能保存“%1”：%2").arg(job.entry.url, task.error));
    }
    if (task.overBudget && job.run && job.run->claimBudgetNotice() && log_ != nullptr)
        log_->logFailure(
            QStringLiteral("本次运行解码写出的数据已达上限，自“%1”起需要解码的缓存项都不再保存").arg(job.entry.url));
    task.file.reset();
    if (job.run)
        job.run->add(counts);
}

void thCpy::archiveJob(const Task& task, HarvestRun::Totals* counts)
{
    const CopyJob& job = *task.job;
    RunArchive& archive = *job.run->archive();
    const bool pageRecorded = archiveEntry(archive, job.entry, task.archived.at(0), counts);
    if (!job.isDocument)
        return;
    if (pageRecorded)
        archive.addPage(job.entry, task.title, task.pageText);
    for (qsizetype i = 0; i < task.report.parts.size(); ++i)
        archiveEntry(archive, task.report.parts[i], task.archived.at(std::size_t(i) + 1), counts);
}

bool thCpy::archiveEntry(RunArchive& archive, const CacheEntry& entry, const WarcWriter::Prepared& prepared,
                         HarvestRun::Totals* counts)
{
    const WarcWriter::Outcome outcome = archive.record(entry, prepared);
    if (outcome.refusal == WarcWriter::Refusal::None) {
        if (!outcome.recordedBefore)
            ++counts->archived;
        return true;
    }
    ++counts->archiveFailed;
    ++counts->archiveRefused[std::size_t(outcome.refusal)];
    logPageLine(&archiveLines_, QStringLiteral("“%1”未能写入网页存档：%2").arg(entry.url, archiveRefusalText(outcome)),
                QStringLiteral("更多缓存项未能写入网页存档，不再逐一记录"));
    return false;
}

void thCpy::logPage(const CopyJob& job, const MhtmlComposer::Report& report)
{
    if (report.missing > 0)
        logPageLine(
            &missingLines_,
            QStringLiteral("页面“%1”有%2个资源不在缓存中，存档里没有它们").arg(job.entry.url).arg(report.missing),
            QStringLiteral("更多页面有资源不在缓存中，不再逐一记录"));
    if (report.capped)
        logPageLine(
            &cappedLines_,
            QStringLiteral("页面“%1”过于庞杂，超出读取上限的部分未处理，存档里只有此前找到的资源").arg(job.entry.url),
            QStringLiteral("更多页面超出读取上限，不再逐一记录"));
}

void thCpy::logPageLine(int* count, const QString& line, const QString& rest)
{
    if (log_ == nullptr)
        return;
    ++*count;
    if (*count < kMaxPageLines)
        log_->logFailure(line);
    else if (*count == kMaxPageLines)
        log_->logFailure(rest);
}

void thCpy::finishRun(const CopyJob& end)
{
    missingLines_ = 0;
    cappedLines_ = 0;
    archiveLines_ = 0;
    if (!end.run)
        return;
    // Put in place only when the whole run was handled: a stopped run leaves no archive.
    if (end.run->archive() && takesJobs()) {
        const QString error = end.run->archive()->finish();
        if (!error.isEmpty()) {
            end.run->setArchiveError(error);
            if (log_ != nullptr)
                log_->logFailure(QStringLiteral("网页存档未能写成：%1").arg(error));
        }
    }
    HarvestRun::Totals counts;
    std::vector<CacheEntry> deletions = end.run->takeDeletions();
    const QSet<QString> folders = std::exchange(foldersToSync_, {});
    if (!deletions.empty() && takesJobs()) {
        const QString error = syncToDisk(folders);
        if (!error.isEmpty()) {
            counts.notDeleted += int(deletions.size());
            deletions.clear();
            if (log_ != nullptr)
                log_->logFailure(QStringLiteral("保存的文件未能写入磁盘（%1），缓存项都没有删除").arg(error));
        }
    }
    for (const CacheEntry& entry : deletions) {
        if (!takesJobs())
            break; // a stop deletes nothing more
        switch (cache_.removeEntry(entry)) {
        case UrlCache::RemoveOutcome::Removed:
            ++counts.deleted;
            break;
        case UrlCache::RemoveOutcome::Gone:
            // The browser has replaced or dropped it since: what was saved is not what it holds now.
            ++counts.notDeleted;
            break;
        case UrlCache::RemoveOutcome::ReadOnly:
            ++counts.notDeleted;
            if (log_ != nullptr)
                log_->logFailure(QStringLiteral("未删除缓存项“%1”：此缓存只读").arg(entry.url));
            break;
        case UrlCache::RemoveOutcome::Failed:
            ++counts.notDeleted;
            if (log_ != nullptr)
                log_->logFailure(QStringLiteral("未能删除缓存项“%1”").arg(entry.url));
            break;
        }
    }
    end.run->add(counts);
    if (takesJobs())
        end.run->finish();
}

void thCpy::jobDone()
{
    // Taking the lock orders this wake-up after a waiter's look at the queue, so it is not lost.
    {
        const std::lock_guard lock(stateMutex_);
    }
    stateChanged_.notify_all();
}

void thCpy::waitUntilIdle()
{
    std::unique_lock lock(stateMutex_);
    // Closing is flagged without a wake-up, hence the bound.
    while (running_ && takesJobs() && (queue_.FirstJob() != nullptr || windowSize_ > 0))
        stateChanged_.wait_for(lock, std::chrono::milliseconds(50));
}
