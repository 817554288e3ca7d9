#pragma once

#include "engine/cache/LocalFileName.h"

#include <QHash>
#include <QSet>
#include <QString>
#include <QTemporaryDir>
#include <mutex>

// The per-process folder into which entry bodies are written when someone reads them.
// It is removed with everything in it when the object is destroyed (at program exit).
class ExtractionFolder
{
public:
    ExtractionFolder();

    bool isValid() const;
    QString path() const;

    // The full path for the entry identified by `entryId` (any text that is stable for one entry of one
    // cache, such as the path of its cache file): stem[1].ext, or stem[2].ext, ... when that name is
    // taken by another entry. The same entryId always gets the same path. Thread-safe.
    // Empty when the folder could not be made.
    QString pathFor(const QString& entryId, const LocalFileName& name);

private:
    QTemporaryDir dir_;
    const QString folderPath_; // with a trailing slash
    mutable std::mutex mutex_;
    QHash<QString, QString> pathById_;
    QSet<QString> largeCounterNames_; // names given with a counter of 1000 or more, case-folded
    // Where the search for a free counter resumes for each case-folded "stem.extension", so that a
    // thousand "index.htm" do not each try every counter before theirs.
    QHash<QString, int> nextCounterByName_;
};
