#include "engine/thCpy.h"

#include "engine/AtomicFile.h"
#include "engine/CopyQueue.h"
#include "engine/DestinationNamer.h"
#include "engine/cache/CacheEntry.h"
#include "engine/cache/UrlCache.h"

#include <exception>

thCpy::thCpy(CopyQueue& queue, UrlCache& cache, const std::atomic<bool>& closingFlag,
             std::chrono::milliseconds pauseAfterJob)
    : queue_(queue), cache_(cache), closingFlag_(closingFlag), pause_(pauseAfterJob), composer_(cache)
{}

thCpy::~thCpy()
{
    requestStop();
    wait();
}

void thCpy::start()
{
    running_ = true;
    thread_ = std::thread([this] { Execute(); });
}

void thCpy::requestStop()
{
    {
        const std::lock_guard lock(stateMutex_);
        stopRequested_ = true;
    }
    stateChanged_.notify_all();
}

void thCpy::wait()
{
    if (thread_.joinable())
        thread_.join();
}

void thCpy::Execute()
{
    running_ = true;
    while (!stopRequested_) {
        while (takesJobs()) {
            const CopyJob* job = queue_.FirstJob();
            if (job == nullptr)
                break;
            HandleJob(*job);
            queue_.RemoveFirstJob();
            jobDone();
            if (pause_.count() > 0)
                std::this_thread::sleep_for(pause_);
        }
        if (!closingFlag_) {
            queue_.waitForJob(kIdleWait);
        } else {
            // Closing: no more jobs, only the stop request to wait for.
            std::unique_lock lock(stateMutex_);
            stateChanged_.wait_for(lock, kIdleWait, [this] { return stopRequested_.load(); });
        }
    }
    {
        const std::lock_guard lock(stateMutex_);
        running_ = false;
    }
    stateChanged_.notify_all();
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
    while (running_ && takesJobs() && queue_.FirstJob() != nullptr)
        stateChanged_.wait_for(lock, kIdleWait);
}

void thCpy::HandleJob(const CopyJob& job)
{
    // Writing to a folder that is not named would put files in the root folder.
    if (job.saveFolder.isEmpty())
        return;
    try {
        CacheEntry entry;
        entry.url = job.sourceUrl;
        entry.localFile = job.localFile;
        entry.body = job.body;
        // A body that cannot be written out leaves no local file: the copy fails, and a document is
        // treated as having no local copy.
        entry.materialize();

        bool carriedOut = false;
        if (!job.isDocument) {
            carriedOut =
                AtomicFile::copy(job.localFile, DestinationNamer::MakeDestName(job.localFile, job.saveFolder, false));
        } else {
            carriedOut = composer_.ArchiveIntoFolder(job.sourceUrl, job.localFile, job.saveFolder) !=
                         MhtmlComposer::Outcome::Failed;
        }
        if (carriedOut && job.deleteAfter)
            cache_.remove(job.sourceUrl);
    } catch (const std::exception&) {
        // A job that fails is passed over quietly; the worker goes on.
    }
}
