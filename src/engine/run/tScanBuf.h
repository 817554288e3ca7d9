#pragma once

#include "plans/StrucRec.h"
#include "util/BackgroundWorker.h"
#include "util/WorkerThread.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QHash>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class CacheEnumeration;
class CopyQueue;
class FailureLog;
class HarvestRun;
class ScanObserver;
class UrlCache;
struct CacheEntry;

// The scan of one harvest run: walks every entry of the cache once, tests each web entry against every
// plan of the run, reports a row and queues a copy job per match, then takes the end-of-run step.
//
// A run owns its copies of the plans and its own running flag, so editing or deleting a plan during the
// run changes nothing here, and a stopped scan that is still finishing its entry cannot end a newer run.
// Its jobs carry the run's ledger (may be null), and the end of the run is queued after the last of them.
//
// An entry whose decoded size is needed (a plan with size bounds, a row to show) and cannot be counted
// (unreadable, or beyond the decoding cap) is refused: no row, no job, one line in the log.
class tScanBuf : public BackgroundWorker
{
public:
    using RunPlanList = std::vector<std::optional<StrucRec>>; // empty slots are passed over

    static const QString kSearchingText;
    static const QString kFinishedFormat; // "%1" is the number of rows

    // `pauseAfterWebEntry` spares the disk and the other threads of an interactive program; tools pass 0.
    tScanBuf(UrlCache& cache, CopyQueue& queue, RunPlanList plans, const std::atomic<bool>& closingFlag,
             ScanObserver& observer, std::chrono::milliseconds pauseAfterWebEntry, std::shared_ptr<HarvestRun> run = {},
             FailureLog* log = nullptr);
    ~tScanBuf() override;

    // A step run by Execute after the searching text and before the walk: a window finds the caches to
    // walk there, off its own thread, since that may wait on the disk. Set before start().
    void setFirstStep(std::function<void()> step) { firstStep_ = std::move(step); }

    // Whether the run first removes the part files that interrupted saves left in its plans' folders
    // (TemporaryBesideFile::removeLeftovers); on unless a run saves nothing. Set before start().
    void setRemovesLeftovers(bool removes) { removesLeftovers_ = removes; }

    // Runs Execute on a thread of its own.
    void start();
    // The whole scan, on the calling thread.
    void Execute();

    void requestStop() override;
    void wait() override;

    bool isRunning() const { return running_; }
    // Entries refused because their size could not be counted.
    int refusedCount() const { return refused_; }

    // Whether the entry's URL starts like one of the accepted spellings of "http".
    static bool isWebAddress(const QString& url);

private:
    void ScanCache();
    // Removes what interrupted saves left in the plans' folders.
    void removeLeftovers() const;
    // Tells the observer how far `walk` has got: at once when `now`, otherwise at most a few times a second.
    // A walk that `ranToEnd` reports its total as what it walked.
    void reportProgress(const CacheEnumeration& walk, bool now, bool ranToEnd = false);
    void MatchEntry(const CacheEntry& entry);
    void refuse(const CacheEntry& entry);
    void AddResultRow(const QString& url, const QString& dateText, const QString& sizeText, const QString& planName);
    // The local time, read afresh at most once a second: reading it costs a time-zone lookup, and a
    // scan tests thousands of entries a second against it.
    const QDateTime& now();
    // DateText::format of `date`, remembered: most entries of a cache share a few dates.
    const QString& dateText(const QDate& date);

    UrlCache& cache_;
    CopyQueue& queue_;
    RunPlanList plans_;
    bool removesLeftovers_ = true;
    const std::atomic<bool>& closingFlag_;
    ScanObserver& observer_;
    const std::chrono::milliseconds pause_;
    const std::shared_ptr<HarvestRun> run_;
    FailureLog* const log_;
    std::function<void()> firstStep_;
    std::atomic<bool> running_{true};
    int rowCount_ = 0;
    int refused_ = 0;
    QDateTime now_;
    QElapsedTimer nowAge_;
    QElapsedTimer progressAge_;
    QHash<QDate, QString> dateTexts_;
    WorkerThread thread_;
};
