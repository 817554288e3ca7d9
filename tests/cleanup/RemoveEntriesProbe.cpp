// remove_entries_probe FOLDER URL...: deletes, one by one, every entry of the cache in FOLDER whose URL is one
// of the URLs given, found by a walk of all entries (UrlCache::enumerateAll) and deleted by reference
// (UrlCache::removeEntry), as the clean-up command deletes them. Prints one line per entry: its outcome and
// its URL. For tools/check-cache-deletion.py, which reopens the cache in the browser afterwards.
//
// Exit code: 0 when every entry found was removed, 1 when one was not, 2 for bad arguments or a folder
// that is no cache.

#include "engine/cache/CacheDetector.h"
#include "engine/cache/UrlCache.h"

#include <QCoreApplication>
#include <QSet>
#include <QStringList>
#include <QTextStream>

namespace
{

const char* nameOf(UrlCache::RemoveOutcome outcome)
{
    switch (outcome) {
    case UrlCache::RemoveOutcome::Removed:
        return "removed";
    case UrlCache::RemoveOutcome::Gone:
        return "gone";
    case UrlCache::RemoveOutcome::ReadOnly:
        return "read-only";
    case UrlCache::RemoveOutcome::Failed:
        break;
    }
    return "failed";
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    QTextStream out(stdout);
    const QStringList arguments = QCoreApplication::arguments().mid(1);
    if (arguments.size() < 2) {
        QTextStream(stderr) << "usage: remove_entries_probe FOLDER URL...\n";
        return 2;
    }
    const CacheLocation location = CacheDetector::recognise(arguments.first());
    if (location.kind == CacheLocation::Kind::Unknown || location.kind == CacheLocation::Kind::NoPermission) {
        QTextStream(stderr) << "not a cache: " << arguments.first() << '\n';
        return 2;
    }
    const QSet<QString> wanted(arguments.begin() + 1, arguments.end());
    const std::unique_ptr<UrlCache> cache = CacheDetector::openAll({location});

    // The walk is finished before the first deletion, as the clean-up command does it.
    QList<CacheEntry> found;
    {
        const std::unique_ptr<CacheEnumeration> walk = cache->enumerateAll();
        while (std::optional<CacheEntry> entry = walk->next()) {
            if (wanted.contains(entry->url))
                found << std::move(*entry);
        }
    }
    int exitCode = 0;
    for (const CacheEntry& entry : std::as_const(found)) {
        const UrlCache::RemoveOutcome outcome = cache->removeEntry(entry);
        out << nameOf(outcome) << '\t' << entry.url << '\n';
        if (outcome != UrlCache::RemoveOutcome::Removed)
            exitCode = 1;
    }
    return exitCode;
}
