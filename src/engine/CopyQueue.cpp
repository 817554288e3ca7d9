#include "engine/CopyQueue.h"

#include "engine/cache/CacheEntry.h"

CopyQueue::CopyQueue() : tail_(&head_) {}

CopyQueue::~CopyQueue()
{
    // Unlinked one by one: a long chain of unique_ptrs would otherwise be freed recursively.
    while (head_.next)
        head_.next = std::move(head_.next->next);
}

void CopyQueue::PushCopyJob(const CacheEntry& entry, const QString& saveFolder, bool isDocument, bool deleteAfter)
{
    auto job = std::make_unique<CopyJob>();
    job->sourceUrl = entry.url;
    job->localFile = entry.localFile;
    job->body = entry.body;
    job->saveFolder = saveFolder;
    job->isDocument = isDocument;
    job->deleteAfter = deleteAfter;
    {
        const std::lock_guard lock(mutex_);
        tail_->next = std::move(job);
        tail_ = tail_->next.get();
    }
    jobArrived_.notify_one();
}

const CopyJob* CopyQueue::FirstJob() const
{
    const std::lock_guard lock(mutex_);
    return head_.next.get();
}

void CopyQueue::RemoveFirstJob()
{
    std::unique_ptr<CopyJob> first;
    {
        const std::lock_guard lock(mutex_);
        if (!head_.next)
            return;
        first = std::move(head_.next);
        head_.next = std::move(first->next);
        if (tail_ == first.get())
            tail_ = &head_;
    }
    // Freed outside the lock.
}

bool CopyQueue::waitForJob(std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(mutex_);
    return jobArrived_.wait_for(lock, timeout, [this] { return head_.next != nullptr; });
}
