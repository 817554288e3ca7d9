#pragma once

#include "engine/cache/UrlCache.h"

#include <QFile>
#include <QStringList>
#include <map>
#include <mutex>

// A cache of plain files in a folder, for tests that need entries of exact sizes, types and addresses.
// Each entry's body is its whole file, stored as it is (no Content-Encoding), read through EntryBody as
// a real cache's would be.
class MapCache : public UrlCache
{
public:
    explicit MapCache(const QString& folder) : folder_(folder) {}

    // An entry for `url` whose body, `body`, is written to `fileName` in the folder.
    void add(const QString& url, const QString& fileName, const QByteArray& body, const QString& contentType = {})
    {
        CacheEntry entry;
        entry.url = url;
        entry.localName = fileName;
        entry.size = body.size();
        entry.contentType = contentType;
        entry.sourceFolder = folder_;
        entry.entryKey = fileName;
        entry.body.file = folder_ + QLatin1Char('/') + fileName;
        entry.body.length = body.size();
        QFile file(entry.body.file);
        if (file.open(QIODevice::WriteOnly))
            file.write(body);
        const std::lock_guard lock(mutex_);
        entries_[url] = entry;
    }

    std::unique_ptr<CacheEnumeration> enumerate() override
    {
        class Walk : public CacheEnumeration
        {
        public:
            explicit Walk(std::map<QString, CacheEntry> entries) : entries_(std::move(entries)) {}
            std::optional<CacheEntry> next() override
            {
                if (entries_.empty())
                    return std::nullopt;
                return entries_.extract(entries_.begin()).mapped();
            }

        private:
            std::map<QString, CacheEntry> entries_;
        };
        const std::lock_guard lock(mutex_);
        return std::make_unique<Walk>(entries_);
    }

    std::optional<CacheEntry> lookup(const QString& url) override
    {
        const std::lock_guard lock(mutex_);
        lookups << url;
        const auto found = entries_.find(url);
        return found == entries_.end() ? std::nullopt : std::optional(found->second);
    }

    RemoveOutcome removeEntry(const CacheEntry& entry) override
    {
        const std::lock_guard lock(mutex_);
        const auto found = entries_.find(entry.url);
        if (found == entries_.end() || found->second.entryKey != entry.entryKey)
            return RemoveOutcome::Gone;
        if (!QFile::remove(found->second.body.file))
            return RemoveOutcome::Failed;
        entries_.erase(found);
        return RemoveOutcome::Removed;
    }

    // Every body is a file of its own, which EntryBody finds gone when it is.
    bool isCurrent(const CacheEntry&) override { return true; }

    QStringList lookups; // every address asked for, in order

private:
    const QString folder_;
    std::mutex mutex_;
    std::map<QString, CacheEntry> entries_;
};
