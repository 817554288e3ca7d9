#pragma once

#include "engine/cache/CacheLocation.h"
#include "engine/cache/StoredBody.h"

#include <QHash>
#include <QString>
#include <QStringList>

#include <chrono>
#include <memory>
#include <optional>

class UrlCache;
struct CacheEntry;

// One cache folder as keeping watches it: which of its folders to watch, which entry a file event is
// about, and what keeping remembers of it (entries waiting to settle, entries taken). A profile's
// service-worker caches are one of these each. Used by the keeper's thread alone.
//
// Caches that keep one entry to a file (simple, cache2, WebKit) are read entry by entry as their files
// settle. The others (blockfile, index.dat) share their files among entries: any change there means
// walking the cache again and taking what the last walk had not.
class KeptCache
{
public:
    using Clock = std::chrono::steady_clock;

    enum class Reading
    {
        EntryFiles,
        Walk,
    };

    // An entry's file seen changing, waiting until it has held still for the settle time.
    struct Pending
    {
        std::optional<StoredBody::FileStamp> stamp;
        Clock::time_point since;
    };

    // `kind` is the format of `folder`: a cache folder, never a profile's root of service-worker caches.
    KeptCache(CacheLocation::Kind kind, QString folder, int location);

    CacheLocation::Kind kind() const { return kind_; }
    const QString& folder() const { return folder_; }
    // Which of the keeper's locations this folder belongs to.
    int location() const { return location_; }
    Reading reading() const;

    // Whether a folder made in the folder `parent` (relative to folder(), empty for folder() itself) is one
    // to watch as well: where the cache keeps entries' files, or the folders leading there.
    bool watchesSubfolder(const QString& parent, const QString& name) const;
    // The entry (its entryKey) a file `name` in the watched folder `parent` belongs to; std::nullopt for a
    // file of no entry (an index, a journal, a temporary file).
    std::optional<QString> entryKeyOf(const QString& parent, const QString& name) const;
    // Whether that file is the one the entry stands or falls with: deleting it deletes the entry.
    bool isMainFile(const QString& name) const;
    // The file whose stamp shows whether the entry of `entryKey` is still being written.
    QString entryPath(const QString& entryKey) const;

    // A reader of this folder alone, for walks; made on first use.
    UrlCache& reader();

    // What stands for the version of an entry that was taken: the same identity is the same bytes in the
    // same place, so it is not taken twice.
    static quint64 identityOf(const CacheEntry& entry);

    // The entry's files, by entryKey, seen changing and not read yet.
    QHash<QString, Pending> pending;
    // The entries taken, by entryKey, with the identity of the version taken: dropped when the entry's file
    // goes, so that a cache's churn does not grow it.
    QHash<QString, quint64> taken;

    // For caches read by walking: the folder changed since the last walk, when first and last.
    bool changed = false;
    Clock::time_point changedFirst;
    Clock::time_point changedLast;

    // Whether the folder is there and watched; while not, the nearest folder above it is watched until it
    // comes back.
    bool present = false;
    // Whether the folder is to be walked again as a whole at the next chance: made again, or an overflow.
    bool rescanDue = false;

private:
    const CacheLocation::Kind kind_;
    const QString folder_;
    const int location_;
    std::unique_ptr<UrlCache> reader_;
};
