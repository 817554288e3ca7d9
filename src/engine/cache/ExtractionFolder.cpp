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

// "stem.extension" (no dot without an extension) case-folded, in one allocation for ASCII names.
QString foldedBaseOf(const LocalFileName& name)
{
    const qsizetype length = name.stem.size() + (name.extension.isEmpty() ? 0 : 1 + name.extension.size());
    QString base(length, Qt::Uninitialized);
    QChar* out = base.data();
    const auto lowerAscii = [&out](QStringView part) {
        for (const QChar c : part) {
            if (c.unicode() >= 0x80)
                return false;
            *out++ = (c.unicode() >= u'A' && c.unicode() <= u'Z') ? QChar(char16_t(c.unicode() + (u'a' - u'A'))) : c;
        }
        return true;
    };
    bool ascii = lowerAscii(name.stem);
    if (ascii && !name.extension.isEmpty()) {
        *out++ = u'.';
        ascii = lowerAscii(name.extension);
    }
    if (ascii)
        return base;
    return (name.extension.isEmpty() ? name.stem : name.stem + u'.' + name.extension).toCaseFolded();
}

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
    // One lookup that also makes the slot: the other maps below are separate, so the reference holds.
    QString& path = pathById_[entryId];
    if (!path.isEmpty())
        return path;

    int& nextCounter = nextCounterByName_[foldedBaseOf(name)];
    nextCounter = std::max(nextCounter, 1);
    QString fileName = name.withCounter(nextCounter++);
    // "stem[n].ext" names the base and the counter it came from, read from the right, so two bases cannot
    // meet below [1000]: forUrl leaves room for "[999]" and extensions hold no dot. From [1000] on,
    // withCounter may cut the stem, and a cut stem can look like another base's; those names are recorded
    // and checked.
    if (nextCounter > 1000) {
        while (largeCounterNames_.contains(folded(fileName)))
            fileName = name.withCounter(nextCounter++);
        largeCounterNames_.insert(folded(fileName));
    }

    // Joined by hand: QTemporaryDir::filePath refuses names that look absolute to Qt, such as ":x".
    path.reserve(folderPath_.size() + fileName.size());
    path.append(folderPath_).append(fileName);
    return path;
}
