#pragma once

#include "engine/BackgroundWorker.h"
#include "engine/MhtmlComposer.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

class CopyQueue;
class UrlCache;
struct CopyJob;

// The copy worker: one thread for the program's life that carries out the copy queue's jobs in order.
// A resource is copied into its plan's save folder under its cached name; a document is written there
// as an MHTML archive named after its title. Where the plan says so, the cache entry is deleted once the
// job has been carried out. A job that fails is passed over: nothing is shown or logged, and the worker
// goes on with the next.
//
// It stops taking jobs once the closing flag is set or a stop is requested (the job in hand is
// finished); the jobs still queued are dropped. The queue's lock is held only to look at or remove a
// job, never while a job is carried out, so a scan can keep pushing.
class thCpy : public BackgroundWorker
{
public:
    // How long an idle worker waits for a push before it looks at its flags again. A push wakes it at
    // once; this bounds how long a stop request can go unnoticed.
    static constexpr std::chrono::milliseconds kIdleWait{100};

    // `pauseAfterJob` spares the disk and the other threads of an interactive program; tools pass 0.
    thCpy(CopyQueue& queue, UrlCache& cache, const std::atomic<bool>& closingFlag,
          std::chrono::milliseconds pauseAfterJob);
    ~thCpy() override;

    thCpy(const thCpy&) = delete;
    thCpy& operator=(const thCpy&) = delete;

    // Runs Execute on a thread of its own.
    void start();
    // The worker's loop, on the calling thread, until a stop is requested.
    void Execute();

    void requestStop() override;
    void wait() override;

    // Returns once the queue is empty and its last job carried out, or once the worker has stopped
    // taking jobs (closing, stop requested, or not running at all).
    void waitUntilIdle();

private:
    bool takesJobs() const { return !closingFlag_ && !stopRequested_; }
    void HandleJob(const CopyJob& job);
    void jobDone();

    CopyQueue& queue_;
    UrlCache& cache_;
    const std::atomic<bool>& closingFlag_;
    const std::chrono::milliseconds pause_;
    const MhtmlComposer composer_;
    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> running_{false};

    // For waitUntilIdle, and for a closing worker to wait for its stop request.
    std::mutex stateMutex_;
    std::condition_variable stateChanged_;
    std::thread thread_;
};
