#pragma once

#include "engine/archive/MhtmlComposer.h"
#include "engine/run/HarvestRun.h"
#include "engine/save/TemporaryBesideFile.h"
#include "util/BackgroundWorker.h"
#include "util/WorkerThread.h"

#include <QSet>
#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

class CopyQueue;
class FailureLog;
class RunArchive;
class UrlCache;
struct CopyJob;

// The copy worker: one thread for the program's life that carries out the copy queue's jobs in order.
// A resource is saved into its plan's save folder under its cached name; a document is written there as
// an MHTML archive named after its title.
//
// Each job is prepared, then committed. Preparing does the costly part: the body is read from the cache
// as it is now (a job whose entry changed or vanished since the scan is skipped and counted) and decoded
// straight into a temporary file in the save folder, or the page is read once and its archive streamed
// into one. Preparing runs on a small pool of threads, several jobs at once. Committing renames the file
// into place and is done by this thread alone, strictly in queue order, so the names come out as if the
// jobs were carried out one by one. Where the job's run writes a web archive (RunArchive), committing also
// records the saved entry, and each part a saved page's archive embeds, so records come in queue order too;
// the archive is put in place when the run's end is committed, never for a stopped run. Nothing is written anywhere but
// the save folders, and no file there is ever replaced: a name taken by other content gives way to the next candidate
// (DestinationNamer), and a file with the same bytes already in place counts as saved before.
//
// Deletions from the cache wait for the end of the job's run (a page archived later in the run may embed
// a picture that an earlier job saved); then exactly the entries saved are deleted. A failed save never
// deletes. Every failure is one line in the log and is counted in the run's ledger, with the reason its body
// was refused. What a job decodes (its archive's parts too) draws on its run's decoding budget; once that is
// spent, one line says so and the run's later coded bodies are refused without a line each.
//
// It stops taking jobs once the closing flag is set or a stop is requested: the job being committed is
// finished, jobs being prepared are abandoned (their temporary files removed), and the jobs still queued
// are dropped, as are the deletions of runs not yet finished.
class thCpy : public BackgroundWorker
{
public:
    // How long an idle worker waits for a push before it looks at its flags again; a push or a stop wakes it
    // at once.
    static constexpr std::chrono::milliseconds kIdleWait{500};

    // Pages logged one by one in one run for each thing a page's line may say (resources missing, a cap
    // reached); the rest get one line for them all.
    static constexpr int kMaxPageLines = 50;

    // Preparation threads for this machine: one per core.
    static int defaultPreparers();

    // `pauseAfterJob` spares the disk and the other threads of an interactive program; tools pass 0.
    // `preparers` 0 prepares each job on the worker's own thread. `log` (may be null) gets the failures.
    thCpy(CopyQueue& queue, UrlCache& cache, const std::atomic<bool>& closingFlag,
          std::chrono::milliseconds pauseAfterJob, FailureLog* log = nullptr, int preparers = defaultPreparers());
    ~thCpy() override;

    thCpy(const thCpy&) = delete;
    thCpy& operator=(const thCpy&) = delete;

    // Runs Execute on a thread of its own.
    void start();
    // The worker's loop, on the calling thread, until a stop is requested.
    void Execute();

    void requestStop() override;
    void wait() override;

    // Returns once the queue is empty and its last job committed, or once the worker has stopped taking
    // jobs (closing, stop requested, or not running at all).
    void waitUntilIdle();

private:
    struct Task;

    bool takesJobs() const { return !closingFlag_ && !stopRequested_; }
    // Moves jobs from the queue into the window of jobs in preparation; true when it took any.
    bool fillWindow();
    void prepare(Task& task) const;
    void prepareResource(Task& task) const;
    void prepareDocument(Task& task) const;
    void commit(Task& task);
    void finishRun(const CopyJob& end);
    // The log lines for a saved page: its resources no cache holds, a cap that cut it short.
    void logPage(const CopyJob& job, const MhtmlComposer::Report& report);
    // Records a saved job's entry, and a page's parts, in its run's web archive; the pages' list gets the page.
    void archiveJob(const Task& task, HarvestRun::Totals* counts);
    // True when `entry` has its record (now or before); a failure is counted and logged.
    bool archiveEntry(RunArchive& archive, const CacheEntry& entry, const WarcWriter::Prepared& prepared,
                      HarvestRun::Totals* counts);
    // `line`, unless `*count` lines were logged before in the run: at kMaxPageLines, `rest` instead.
    void logPageLine(int* count, const QString& line, const QString& rest);
    void abandonWindow();
    void jobDone();

    // The preparation pool.
    void submit(const std::shared_ptr<Task>& task);
    void preparerLoop(const WorkerThread& self);

    CopyQueue& queue_;
    UrlCache& cache_;
    const std::atomic<bool>& closingFlag_;
    const std::chrono::milliseconds pause_;
    FailureLog* const log_;
    const MhtmlComposer composer_;
    // logPage's lines of each kind since the last run ended; this thread's.
    int missingLines_ = 0;
    int cappedLines_ = 0;
    int archiveLines_ = 0;
    // Save folders holding files whose cache entries are to be deleted, made durable before any entry is;
    // this thread's.
    QSet<QString> foldersToSync_;
    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> running_{false};
    // Set when the window is abandoned: jobs in preparation stop writing at their next chunk.
    std::atomic<bool> abortPreparation_{false};

    std::deque<std::shared_ptr<Task>> window_; // jobs taken from the queue, in its order; this thread's
    std::atomic<std::size_t> windowSize_{0};   // the window's jobs, for other threads to see

    // Jobs waiting for a preparer, and the preparers' news of a job prepared.
    std::mutex poolMutex_;
    std::condition_variable poolChanged_;
    std::deque<std::shared_ptr<Task>> pending_;
    std::vector<std::unique_ptr<WorkerThread>> preparers_;

    // For waitUntilIdle, and for a closing worker to wait for its stop request.
    std::mutex stateMutex_;
    std::condition_variable stateChanged_;
    WorkerThread thread_;
};
