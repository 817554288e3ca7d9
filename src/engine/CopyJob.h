#pragma once

#include "engine/cache/StoredBody.h"

#include <QString>
#include <memory>

// One match waiting to be saved: what to save, where to, and how.
struct CopyJob
{
    QString sourceUrl;  // the entry's URL: its key for deletion, and the base of a page's references
    QString localFile;  // full path of the entry's body, written from `body` when first needed
    StoredBody body;    // where the body lies in the cache
    QString saveFolder; // the plan's save folder
    bool isDocument = false;  // saved as an MHTML archive rather than copied
    bool deleteAfter = false; // delete the cache entry once saved

    std::unique_ptr<CopyJob> next; // the queue's link; owned by the queue
};
