#include "engine/run/CopyQueue.h"

#include "engine/cache/CacheEntry.h"
#include "engine/run/HarvestRun.h"

#include <utility>

CopyQueue::CopyQueue() : tail_(&head_) {}

CopyQueue::~CopyQueue()
{
    // Unlinked one by one: a long chain of unique_ptrs would otherwise be freed recursively.
    while (head_.next)
        head_.next = std::move(head_.next->next);
}

void CopyQueue::PushCopyJob(const CacheEntry& entry, const QString& saveFolder, bool isDocument, bool deleteAfter,
                            std::shared_ptr<HarvestRun> run)
{
    auto job = std::make_unique<CopyJob>();
    job->entry = entry;
    job->saveFolder = saveFolder;
    job->isDocument = isDocument;
    job->deleteAfter = deleteAfter;
    job->run = std::move(run);
    push(std::move(job));
}

void CopyQueue::PushRunEnd(std::shared_ptr<HarvestRun> run)
{
    auto job = std::make_unique<CopyJob>();
    job->endsRun = true;
    job->run = std::move(run);
    push(std::move(job));
}

void CopyQueue::push(std::unique_ptr<CopyJob> job)
{
    QByteArray dropped; // freed once the lock is released
    {
        std::unique_lock lock(mutex_);
        // The end of a run never waits: it takes no room worth bounding.
        if (!job->endsRun)
            jobTaken_.wait(lock, [this] { return capacity_ == 0 || size_ < capacity_ || !waitsForRoom_; });
        if (size_ >= kJobsHoldingBodies)
            dropped = std::exchange(job->entry.body.held, QByteArray());
        tail_->next = std::move(job);
        tail_ = tail_->next.get();
        ++size_;
    }
    jobArrived_.notify_one();
}

void CopyQueue::setCapacity(std::size_t jobs)
{
    {
        const std::lock_guard lock(mutex_);
        capacity_ = jobs;
    }
    jobTaken_.notify_all();
}

void CopyQueue::stopWaiting()
{
    {
        const std::lock_guard lock(mutex_);
        waitsForRoom_ = false;
    }
    jobTaken_.notify_all();
}

const CopyJob* CopyQueue::FirstJob() const
{
    const std::lock_guard lock(mutex_);
    return head_.next.get();
}

void CopyQueue::RemoveFirstJob()
{
    // Freed outside the lock.
    const std::unique_ptr<CopyJob> first = TakeFirstJob();
}

std::unique_ptr<CopyJob> CopyQueue::TakeFirstJob()
{
    std::unique_ptr<CopyJob> first;
    {
        const std::lock_guard lock(mutex_);
        if (!head_.next)
            return nullptr;
        first = std::move(head_.next);
        head_.next = std::move(first->next);
        if (tail_ == first.get())
            tail_ = &head_;
        --size_;
    }
    jobTaken_.notify_one();
    return first;
}

bool CopyQueue::waitForJob(std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(mutex_);
    const quint64 wakeCount = wakeCount_;
    jobArrived_.wait_for(lock, timeout, [&] { return head_.next != nullptr || wakeCount_ != wakeCount; });
    return head_.next != nullptr;
}

void CopyQueue::wakeWaiters()
{
    {
        const std::lock_guard lock(mutex_);
        ++wakeCount_;
    }
    jobArrived_.notify_all();
}
