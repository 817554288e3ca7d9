#pragma once

#include "engine/run/CopyJob.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

struct CacheEntry;

// First in, first out, from the scanners of the runs to the copy worker. One consumer. The mutex is held
// only while links move, never while a job is carried out.
class CopyQueue
{
public:
    // Jobs queued behind this many give up the body bytes their walk read along (StoredBody::held); the
    // copy worker reads those bodies from the cache again. A window's scan never waits for the copy
    // worker, so a queue of every match of a large cache would otherwise keep every small body in memory.
    static constexpr std::size_t kJobsHoldingBodies = 1024;

    CopyQueue();
    ~CopyQueue();

    CopyQueue(const CopyQueue&) = delete;
    CopyQueue& operator=(const CopyQueue&) = delete;

    void PushCopyJob(const CacheEntry& entry, const QString& saveFolder, bool isDocument, bool deleteAfter,
                     std::shared_ptr<HarvestRun> run = {});
    // The end of `run`: queued after its last job.
    void PushRunEnd(std::shared_ptr<HarvestRun> run);

    // The oldest job, left in the queue; nullptr when the queue is empty. The job stays valid until the
    // consumer removes it.
    const CopyJob* FirstJob() const;

    // Removes and frees the oldest job; nothing when the queue is empty.
    void RemoveFirstJob();

    // Removes the oldest job and hands it over; nullptr when the queue is empty.
    std::unique_ptr<CopyJob> TakeFirstJob();

    // Waits up to `timeout` for a job to arrive, or until wakeWaiters; true when one is queued.
    bool waitForJob(std::chrono::milliseconds timeout) const;

    // Ends every waitForJob now (a consumer asked to stop).
    void wakeWaiters();

    // From now on a push waits while `jobs` jobs are queued, so that a scan faster than its saves holds
    // no more than that many in memory. 0 (the default) never waits. For tools: the window's scan never
    // waits for the copy worker.
    void setCapacity(std::size_t jobs);
    // No push waits any more (the consumer has stopped): what is pushed is queued and never taken.
    void stopWaiting();

private:
    void push(std::unique_ptr<CopyJob> job);

    mutable std::condition_variable jobTaken_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    bool waitsForRoom_ = true;
    mutable std::mutex mutex_;
    mutable std::condition_variable jobArrived_;
    CopyJob head_;            // the dummy head; the oldest job is head_.next
    CopyJob* tail_ = nullptr; // the last job, or &head_ when empty
    quint64 wakeCount_ = 0;   // changed by wakeWaiters
};
