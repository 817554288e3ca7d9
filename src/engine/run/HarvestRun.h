#pragma once

#include "engine/cache/CacheEntry.h"
#include "engine/cache/EntryBody.h"
#include "engine/warc/WarcWriter.h"

#include <QString>
#include <array>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

// The ledger of one harvest run, shared by the scan that queues its jobs and the copy worker that
// carries them out: what was saved, what failed, which cache entries are to be deleted once the whole
// run is handled. The run is finished when the copy worker reaches its end in the queue; then the
// deletions are made and the totals reported. Thread-safe.
class RunArchive;

class HarvestRun
{
public:
    struct Totals
    {
        int saved = 0;            // files and archives put in place
        int pagesSaved = 0;       // of which archives
        int alreadySaved = 0;     // the same bytes were in place already: nothing written
        int failed = 0;           // could not be read or written; logged
        int changed = 0;          // the entry changed or vanished since the scan: skipped, nothing saved
        int deleted = 0;          // cache entries deleted after their save
        int notDeleted = 0;       // deletions the cache refused or that failed
        int missingResources = 0; // references of saved pages that no cache holds
        // Saved pages that a cap on reading pages cut short (MhtmlComposer::Report::capped): hostile, or far
        // beyond any ordinary page; their archives hold what was found before the cap.
        int cappedPages = 0;
        // Saves that failed or were skipped, by why their body was refused (a save that failed for another
        // reason, such as a name, is in none).
        std::array<int, EntryBody::kRefusalKinds> refused{};

        // The web archive the run writes, where it writes one: records written (revisits included), and
        // entries saved that have none, by why.
        int archived = 0;
        int archiveFailed = 0;
        std::array<int, WarcWriter::kRefusalKinds> archiveRefused{};

        int refusedFor(EntryBody::Refusal refusal) const { return refused[std::size_t(refusal)]; }
        int archiveRefusedFor(WarcWriter::Refusal refusal) const { return archiveRefused[std::size_t(refusal)]; }

        friend bool operator==(const Totals&, const Totals&) = default;
    };

    // What a run's decoding may write (see DecodingBudget): as much as the coded bodies it reads make at the
    // ratio each body is held to, which a real harvest does not pass however large it is, ...
    static constexpr qint64 kDecodingRatio = EntryBody::kMaxDecodedRatio;
    // ... and this much more, for bodies under the per-body floor that pass that ratio: a real harvest has a
    // few small ones (a blank drawing, a page of spaces), while a cache of bombs would have each make its floor.
    static constexpr qint64 kDecodingFloor = qint64(256) << 20;

    using Finished = std::function<void(const Totals&)>;

    // `finished` (may be empty) is called once, on the copy worker's thread, when the run is finished.
    // `archive` (may be null) records what the run saves as a web archive; the copy worker writes to it
    // and finishes it at the run's end.
    explicit HarvestRun(Finished finished = {}, qint64 decodingFloor = kDecodingFloor,
                        std::shared_ptr<RunArchive> archive = nullptr);
    ~HarvestRun();

    // The copy worker's while the run goes on: its commit step records, its preparers prepare records.
    RunArchive* archive() const { return archive_.get(); }
    // For a run whose archive can only be opened once its caches are found: set before its first job is
    // queued, on the thread that queues them.
    void setArchive(std::shared_ptr<RunArchive> archive) { archive_ = std::move(archive); }
    // Why the archive could not be put in place at the end; empty when it was, or there is none.
    QString archiveError() const;
    void setArchiveError(const QString& error);

    Totals totals() const;

    // For the copy worker, as it handles the run's jobs.
    void add(const Totals& counts);
    // Deleted only once the whole run is handled: a page archived later in the run may embed a picture
    // that a resource plan saved earlier.
    void deleteWhenFinished(const CacheEntry& entry);
    std::vector<CacheEntry> takeDeletions();
    void finish();

    // What the decoding of the run's jobs draws on, on every preparing thread.
    DecodingBudget& decodingBudget() { return decodingBudget_; }
    // True for the first caller only: the one to log that the decoding budget is spent.
    bool claimBudgetNotice();

    bool isFinished() const;
    // Blocks until finish() or until `timeout`; true when finished.
    bool waitFinished(std::chrono::milliseconds timeout) const;

    // The totals as the window and the command-line tool show them after the end-of-run text.
    static QString summaryText(const Totals& totals);

private:
    const Finished finished_;
    mutable std::mutex mutex_;
    mutable std::condition_variable finishedChanged_;
    Totals totals_;
    std::vector<CacheEntry> deletions_;
    bool isFinished_ = false;
    DecodingBudget decodingBudget_;
    bool budgetNoticed_ = false;
    std::shared_ptr<RunArchive> archive_;
    QString archiveError_;
};
