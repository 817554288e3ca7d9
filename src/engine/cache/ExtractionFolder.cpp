#include "engine/cache/ExtractionFolder.h"

#include <QDir>

#include <algorithm>

ExtractionFolder::ExtractionFolder()
    : dir_(QDir::tempPath() + QStringLiteral("/webgleaner-XXXXXX")), folderPath_(dir_.path() + u'/')
{}

bool ExtractionFolder::isValid() const
{
    return dir_.isValid();
}

QString ExtractionFolder::path() const
{
    return dir_.isValid() ? dir_.path() : QString();
}

namespace
{

// Case folding for names that are mostly ASCII: the Unicode tables only for the rest.
QString folded(const QString& name)
{
    bool hasUpper = false;
    for (const QChar c : name) {
        if (c.unicode() >= 0x80)
            return name.toCaseFolded();
        hasUpper = hasUpper || (c.unicode() >= u'A' && c.unicode() <= u'Z');
    }
    if (!hasUpper)
        return name; // shared, not copied
    QString lower = name;
    for (QChar& c : lower) {
        if (c.unicode() >= u'A' && c.unicode() <= u'Z')
            c = QChar(char16_t(c.unicode() + (u'a' - u'A')));
    }
    return lower;
}

} // namespace

QString ExtractionFolder::pathFor(const QString& entryId, const LocalFileName& name)
{
    if (!dir_.isValid())
        return QString();
    const std::lock_guard lock(mutex_);
    if (const auto known = pathById_.constFind(entryId); known != pathById_.constEnd())
        return *known;

    int& nextCounter =
        nextCounterByName_[folded(name.extension.isEmpty() ? name.stem : name.stem + u'.' + name.extension)];
    nextCounter = std::max(nextCounter, 1);
    // A counter can be taken by another base whose stem was cut to make room for a long counter.
    QString fileName;
    for (;;) {
        fileName = name.withCounter(nextCounter++);
        const qsizetype takenBefore = takenNames_.size();
        takenNames_.insert(folded(fileName));
        if (takenNames_.size() != takenBefore)
            break;
    }

    // Joined by hand: QTemporaryDir::filePath refuses names that look absolute to Qt, such as ":x".
    const QString fullPath = folderPath_ + fileName;
    pathById_.insert(entryId, fullPath);
    return fullPath;
}
