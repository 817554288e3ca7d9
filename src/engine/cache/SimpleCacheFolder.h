#pragma once

#include "engine/cache/BatchFileReader.h"
#include "engine/cache/CacheEntry.h"
#include "engine/cache/UrlCache.h"

#include <QDateTime>
#include <QHash>
#include <QString>
#include <QStringList>
#include <optional>

class FolderHandle;

// A Chromium simple-cache folder on disk (the one holding `index`, `index-dir/` and the "<16 hex>_0"
// entry files), read in place: which entry files it has, which of them hold a usable response, and
// deleting an entry. Holds only its path, so one instance serves several threads at once and copies are
// cheap.
class SimpleCacheFolder
{
public:
    // What stream 0 of the folder's entries holds.
    enum class Stream0
    {
        ResponseInfo, // the HTTP cache's pickled response info
        CacheStorage, // a service worker's cache: a CacheStorageMetadata protocol buffer
    };

    explicit SimpleCacheFolder(const QString& folder, Stream0 stream0 = Stream0::ResponseInfo);

    const QString& path() const { return path_; }

    // The entry files ("<16 hex>_0"), sorted by name. The directory's own order differs between file
    // systems and copies of a folder; sorted names give every walk of the same folder the same order.
    QStringList entryFileNames() const;

    // When the browser last used each entry, by entry hash, as its index says; read afresh on each call.
    QHash<quint64, QDateTime> lastUsedTimes() const;

    // When the entry of `fileName` was last used: the index's time, else the file's modification time.
    QDateTime lastUsed(const QString& fileName, const QHash<quint64, QDateTime>& lastUsedTimes) const;

    // The entry held by `fileName` if it is a whole 2xx HTTP response with a complete body; std::nullopt
    // for anything else (damaged, still being written, not HTTP, an error or a redirect, a range-fetched
    // resource with gaps, vanished).
    // A walk passes the folder it holds open, so that each file is opened by name alone.
    std::optional<CacheEntry> readEntry(const QString& fileName, const QHash<quint64, QDateTime>& lastUsedTimes,
                                        const std::shared_ptr<const FolderHandle>& openFolder = nullptr,
                                        BatchFileReader::File* prefetched = nullptr) const;

    // The URL of the entry in `fileName` from its key alone, without checking the rest of the file.
    std::optional<QString> urlOf(const QString& fileName, const FolderHandle* openFolder = nullptr) const;

    // The entry of `fileName` whatever it holds (any status, no body, ranges with gaps, a body still being
    // written), as a reference: url, sourceFolder and entryKey. std::nullopt when its header and key
    // cannot be read or the key is not an HTTP cache key.
    std::optional<CacheEntry> referenceOf(const QString& fileName) const;

    // Unlinks the entry files of `fileName` (_0, then _1 and _s) after confirming from the file itself
    // that it still holds `url`. Safe while the browser runs: it treats missing files as a miss. Nothing
    // else is touched; the browser's index lists the entry until it next rebuilds, which it tolerates.
    UrlCache::RemoveOutcome removeEntry(const QString& fileName, const QString& url) const;

    // The same for the entry a walk or lookup gave, keyed by its entry file, and only while the file its
    // body lies in (_0, or _s for a range-fetched one) has the stamp it had then; a reference, which has
    // no stamp, by its URL alone.
    UrlCache::RemoveOutcome removeEntry(const CacheEntry& entry) const;

    static bool isEntryFileName(const QString& fileName);

private:
    std::optional<StoredBody> sparseBody(const QString& hashName, QByteArrayView key, const QString& contentRange,
                                         const QString& contentEncoding) const;

    QString path_;
    Stream0 stream0_;
};
