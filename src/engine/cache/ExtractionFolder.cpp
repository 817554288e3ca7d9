#include "engine/cache/ExtractionFolder.h"

#include <QDir>

#include <algorithm>

ExtractionFolder::ExtractionFolder() : dir_(QDir::tempPath() + QStringLiteral("/webgleaner-XXXXXX")) {}

bool ExtractionFolder::isValid() const
{
    return dir_.isValid();
}

QString ExtractionFolder::path() const
{
    return dir_.isValid() ? dir_.path() : QString();
}

QString ExtractionFolder::pathFor(const QString& entryId, const LocalFileName& name)
{
    if (!dir_.isValid())
        return QString();
    const std::lock_guard lock(mutex_);
    if (const auto known = pathById_.constFind(entryId); known != pathById_.constEnd())
        return *known;

    const QString baseKey = (name.extension.isEmpty() ? name.stem : name.stem + u'.' + name.extension).toCaseFolded();
    int& nextCounter = nextCounterByName_[baseKey];
    nextCounter = std::max(nextCounter, 1);
    // A counter can be taken by another base whose stem was cut to make room for a long counter.
    QString fileName = name.withCounter(nextCounter);
    QString foldedName = fileName.toCaseFolded();
    while (takenNames_.contains(foldedName)) {
        fileName = name.withCounter(++nextCounter);
        foldedName = fileName.toCaseFolded();
    }
    ++nextCounter;

    takenNames_.insert(std::move(foldedName));
    // Joined by hand: QTemporaryDir::filePath refuses names that look absolute to Qt, such as ":x".
    const QString fullPath = dir_.path() + u'/' + fileName;
    pathById_.insert(entryId, fullPath);
    return fullPath;
}
