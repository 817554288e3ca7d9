#pragma once

#include "engine/cache/CacheEntry.h"

#include <QString>
#include <memory>

class HarvestRun;

// One match waiting to be saved: the entry as the scan found it (its identity decides whether the cache
// still holds the same body when the job is carried out), where to, and how. Or, with `endsRun`, the mark
// that every job of `run` is before it in the queue.
struct CopyJob
{
    CacheEntry entry;                // the entry's URL is its key for deletion and the base of a page's references
    QString saveFolder;              // the plan's save folder
    bool isDocument = false;         // saved as an MHTML archive rather than copied
    bool deleteAfter = false;        // delete the cache entry once saved (when the whole run is handled)
    bool endsRun = false;            // not a job: the end of `run`
    std::shared_ptr<HarvestRun> run; // the ledger of the run that queued it; may be null

    std::unique_ptr<CopyJob> next; // the queue's link; owned by the queue
};
