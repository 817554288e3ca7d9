#pragma once

#include "engine/cache/CacheEntry.h"
#include "engine/cache/CacheEnumeration.h"

#include <QString>
#include <atomic>
#include <memory>
#include <optional>

// A browser cache as the harvest engine uses it: walk it, look up one address, delete one entry.
//
// Failures never reach the caller as exceptions: a walk that cannot go on just ends, a lookup that fails
// means the address is not cached, a deletion reports how it went. Walks offer only usable entries
// (whole 2xx responses with a complete body), except enumerateAll, which is for clearing the cache.
//
// Implementations are safe to use from several threads at once: the scanner walks while the copy
// worker looks up and deletes, and the clean-up command deletes from its own thread.
class UrlCache
{
public:
    enum class RemoveOutcome
    {
        Removed,  // the entry and its files are gone
        Gone,     // it was not there any more (or holds another entry now): nothing was touched
        ReadOnly, // this cache is never written to (a blockfile cache a running browser keeps open)
        Failed,   // it is there and could not be removed
    };

    virtual ~UrlCache() = default;

    virtual std::unique_ptr<CacheEnumeration> enumerate() = 0;

    // Every entry of the HTTP cache, usable or not: any status (redirects, errors), responses the browser
    // stopped storing, ranges with gaps, entries without a body. Each comes as a reference: its url,
    // sourceFolder and entryKey, enough for removeEntry to delete exactly it; the other fields may be
    // empty. For clearing a cache, where what the browser keeps of a visit matters, not whether it can
    // be harvested. A cache that knows no other entries than its usable ones offers those.
    virtual std::unique_ptr<CacheEnumeration> enumerateAll() { return enumerate(); }

    // The entry whose URL is exactly `url`. Where several entries hold it (browsers partition their
    // caches by top-level site), the most recently used one.
    virtual std::optional<CacheEntry> lookup(const QString& url) = 0;

    // The same, but given up on (nothing found) once `stop` is set, for a thread that may be stopped: a
    // cache whose first lookup builds an index of all its entries checks it as it goes, so that a stop
    // need not wait for a walk of the whole cache. The index is built again by a later lookup.
    virtual std::optional<CacheEntry> lookupUnlessStopped(const QString& url, const std::atomic<bool>& stop)
    {
        Q_UNUSED(stop);
        return lookup(url);
    }

    // Deletes exactly `entry` (by its sourceFolder and entryKey), and only while it still holds the same
    // URL and body: an entry the browser has rewritten since is left alone (Gone). `entry` may be a
    // reference from enumerateAll, without a body: then only its URL is compared.
    virtual RemoveOutcome removeEntry(const CacheEntry& entry) = 0;

    // Whether the cache still holds `entry` as it was found, for caches whose body files are shared among
    // entries and so carry no stamp (StoredBody::stamp): the record is read again and compared. Caches
    // whose bodies carry a stamp answer true; EntryBody checks the stamp when it reads.
    virtual bool isCurrent(const CacheEntry& entry) = 0;

    // The usable entry whose entryKey is `entryKey` in `folder`, read alone and as it is now: for keeping,
    // which reads each entry as the browser finishes writing it. std::nullopt when it is not usable (not
    // whole yet, an error, gone), or the cache keeps its entries otherwise than one to a file, or `folder` is
    // none of its own. An entry read here is found by lookups from then on, ahead of the URL's older entries:
    // a page archived while keeping looks up pictures the browser wrote after the cache's URL map was built.
    virtual std::optional<CacheEntry> readEntryOf(const QString& folder, const QString& entryKey)
    {
        Q_UNUSED(folder);
        Q_UNUSED(entryKey);
        return std::nullopt;
    }

    // Drops what lookups know of `folder`'s entries, to be learnt again by the next lookup: the folder was
    // made again, or its entries changed in a way no readEntryOf follows (a walked cache that changed).
    virtual void forgetFolder(const QString& folder) { Q_UNUSED(folder); }

    // Whether entries whose sourceFolder is `folder` come from this cache: how a cache made of several
    // routes removeEntry and isCurrent to the one an entry came from.
    virtual bool ownsFolder(const QString& folder) const
    {
        Q_UNUSED(folder);
        return false;
    }
};
