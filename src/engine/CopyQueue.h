#pragma once

#include "engine/CopyJob.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

struct CacheEntry;

// First in, first out, from the scanner of the current run to the copy worker. One producer at a time,
// one consumer. The mutex is held only while links move, never while a job is carried out.
class CopyQueue
{
public:
    CopyQueue();
    ~CopyQueue();

    CopyQueue(const CopyQueue&) = delete;
    CopyQueue& operator=(const CopyQueue&) = delete;

    void PushCopyJob(const CacheEntry& entry, const QString& saveFolder, bool isDocument, bool deleteAfter);

    // The oldest job, left in the queue; nullptr when the queue is empty. The job stays valid until the
    // consumer removes it.
    const CopyJob* FirstJob() const;

    // Removes and frees the oldest job; nothing when the queue is empty.
    void RemoveFirstJob();

    // Waits up to `timeout` for a job to arrive; true when one is queued.
    bool waitForJob(std::chrono::milliseconds timeout) const;

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable jobArrived_;
    CopyJob head_;            // the dummy head; the oldest job is head_.next
    CopyJob* tail_ = nullptr; // the last job, or &head_ when empty
};
