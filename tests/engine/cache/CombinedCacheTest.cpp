#include "engine/cache/CombinedCache.h"

#include "CacheTestSupport.h"
#include "QtPrinters.h"
#include "engine/cache/BlockfileCache.h"
#include "engine/cache/EntryBody.h"
#include "engine/cache/FirefoxCache.h"
#include "engine/cache/IndexDatCache.h"
#include "engine/cache/SimpleCache.h"
#include "engine/cache/WebKitCache.h"

#include <QStringList>
#include <functional>
#include <numeric>

#include <gtest/gtest.h>

namespace
{

// A cache held in memory: entries are URLs with a last-access time.
class MemoryCache : public UrlCache
{
public:
    MemoryCache(QString name, std::vector<std::pair<QString, int>> entries)
        : name_(std::move(name)), entries_(std::move(entries))
    {}

    std::unique_ptr<CacheEnumeration> enumerate() override
    {
        class Walk : public CacheEnumeration
        {
        public:
            explicit Walk(const MemoryCache& cache) : cache_(cache) {}
            std::optional<CacheEntry> next() override
            {
                if (next_ >= cache_.entries_.size())
                    return std::nullopt;
                return cache_.entryAt(next_++);
            }

        private:
            const MemoryCache& cache_;
            std::size_t next_ = 0;
        };
        return std::make_unique<Walk>(*this);
    }

    std::optional<CacheEntry> lookup(const QString& url) override
    {
        for (std::size_t i = 0; i < entries_.size(); ++i) {
            if (entries_[i].first == url)
                return entryAt(i);
        }
        return std::nullopt;
    }

    RemoveOutcome removeEntry(const CacheEntry& entry) override
    {
        // Entries of another folder would be removed here too, were they routed wrongly.
        return std::erase_if(entries_, [&](const auto& held) { return held.first == entry.url; }) != 0
                   ? RemoveOutcome::Removed
                   : RemoveOutcome::Gone;
    }

    bool isCurrent(const CacheEntry& entry) override { return lookup(entry.url).has_value(); }

    bool ownsFolder(const QString& folder) const override { return folder == name_; }

private:
    CacheEntry entryAt(std::size_t index) const
    {
        CacheEntry entry;
        entry.url = entries_[index].first;
        entry.lastAccess = QDateTime::fromSecsSinceEpoch(entries_[index].second, Qt::UTC);
        entry.sourceFolder = name_;
        return entry;
    }

    QString name_;
    std::vector<std::pair<QString, int>> entries_;
};

CombinedCache makeCombined()
{
    std::vector<std::unique_ptr<UrlCache>> caches;
    caches.push_back(std::make_unique<MemoryCache>(
        "a", std::vector<std::pair<QString, int>>{{"http://x/1", 10}, {"http://x/2", 30}}));
    caches.push_back(std::make_unique<MemoryCache>("empty", std::vector<std::pair<QString, int>>{}));
    caches.push_back(std::make_unique<MemoryCache>(
        "b", std::vector<std::pair<QString, int>>{{"http://x/2", 20}, {"http://x/1", 40}}));
    return CombinedCache(std::move(caches));
}

// What a walk offers, as "cache:URL" in walk order.
QStringList walked(UrlCache& cache)
{
    QStringList seen;
    for (const CacheEntry& entry : walk(cache))
        seen << entry.sourceFolder + ":" + entry.url;
    return seen;
}

TEST(CombinedCacheTest, WalksTheCachesOneAfterAnother)
{
    CombinedCache combined = makeCombined();
    EXPECT_EQ(walked(combined), (QStringList{"a:http://x/1", "a:http://x/2", "b:http://x/2", "b:http://x/1"}));
}

TEST(CombinedCacheTest, LookupTakesTheMostRecentlyUsed)
{
    CombinedCache combined = makeCombined();
    EXPECT_EQ(combined.lookup("http://x/1")->sourceFolder, "b");
    EXPECT_EQ(combined.lookup("http://x/2")->sourceFolder, "a");
    EXPECT_FALSE(combined.lookup("http://x/3"));
}

TEST(CombinedCacheTest, RemoveEntryAndIsCurrentGoToTheCacheTheEntryCameFrom)
{
    CombinedCache combined = makeCombined();
    CacheEntry fromB = *combined.lookup("http://x/1");
    ASSERT_EQ(fromB.sourceFolder, "b");
    EXPECT_TRUE(combined.isCurrent(fromB));
    EXPECT_EQ(combined.removeEntry(fromB), UrlCache::RemoveOutcome::Removed);
    EXPECT_EQ(walked(combined), (QStringList{"a:http://x/1", "a:http://x/2", "b:http://x/2"}));
    EXPECT_FALSE(combined.isCurrent(fromB));
    EXPECT_EQ(combined.removeEntry(fromB), UrlCache::RemoveOutcome::Gone);

    CacheEntry unknown = fromB;
    unknown.sourceFolder = "elsewhere";
    EXPECT_EQ(combined.removeEntry(unknown), UrlCache::RemoveOutcome::Gone);
    EXPECT_FALSE(combined.isCurrent(unknown));
    EXPECT_TRUE(combined.ownsFolder("a"));
    EXPECT_FALSE(combined.ownsFolder("elsewhere"));
}

// A progress bar needs the whole walk's size before the first entry: every kind of cache tells it from
// what it reads when its walk starts, and a walk that ends has passed all of it.
TEST(CombinedCacheTest, AWalkKnowsItsSizeFromItsStartAndEndsAtIt)
{
    const QString data = QStringLiteral(WEBGLEANER_TEST_DATA "/caches/");
    std::vector<std::unique_ptr<UrlCache>> caches;
    caches.push_back(std::make_unique<SimpleCache>(data + "chromium-simple/Cache_Data"));
    caches.push_back(std::make_unique<FirefoxCache>(data + "firefox-cache2"));
    caches.push_back(std::make_unique<BlockfileCache>(data + "chromium-blockfile/Cache_Data"));
    caches.push_back(std::make_unique<IndexDatCache>(data + "indexdat/small/Content.IE5"));
    std::vector<qint64> totals;
    for (const std::unique_ptr<UrlCache>& cache : caches) {
        const std::unique_ptr<CacheEnumeration> alone = cache->enumerate();
        const CacheEnumeration::Progress start = alone->progress();
        EXPECT_EQ(start.done, 0);
        EXPECT_GT(start.total, 0);
        while (alone->next()) {
        }
        EXPECT_EQ(alone->progress().done, alone->progress().total);
        totals.push_back(alone->progress().total);
    }

    CombinedCache combined(std::move(caches));
    const std::unique_ptr<CacheEnumeration> walk = combined.enumerate();
    const qint64 total = std::accumulate(totals.begin(), totals.end(), qint64(0));
    EXPECT_EQ(walk->progress().total, total);
    qint64 lastDone = 0;
    while (walk->next()) {
        const CacheEnumeration::Progress now = walk->progress();
        EXPECT_GE(now.done, lastDone);
        EXPECT_LE(now.done, now.total);
        lastDone = now.done;
    }
    EXPECT_EQ(walk->progress().done, total);
}

// The bytes a walk reads along with an entry are a shortcut only: the copy queue drops them from jobs
// that wait long, and the body read again from the cache must be the same.
TEST(CombinedCacheTest, ABodyReadsTheSameWithoutTheBytesTheWalkHeld)
{
    const QString data = QStringLiteral(WEBGLEANER_TEST_DATA "/caches/");
    const std::pair<const char*, std::shared_ptr<UrlCache>> caches[] = {
        {"simple", std::make_shared<SimpleCache>(data + "chromium-simple/Cache_Data")},
        {"firefox", std::make_shared<FirefoxCache>(data + "firefox-cache2")},
        {"blockfile", std::make_shared<BlockfileCache>(data + "chromium-blockfile/Cache_Data")},
    };
    for (const auto& [name, cache] : caches) {
        SCOPED_TRACE(name);
        int held = 0;
        const std::unique_ptr<CacheEnumeration> walk = cache->enumerate();
        while (const std::optional<CacheEntry> entry = walk->next()) {
            if (entry->body.held.isEmpty())
                continue;
            ++held;
            StoredBody without = entry->body;
            without.held = QByteArray();
            const auto withBytes = EntryBody::read(entry->body, EntryBody::kMaxDecodedSize);
            const auto again = EntryBody::read(without, EntryBody::kMaxDecodedSize);
            ASSERT_TRUE(std::holds_alternative<QByteArray>(withBytes)) << entry->url.toStdString();
            ASSERT_TRUE(std::holds_alternative<QByteArray>(again)) << entry->url.toStdString();
            EXPECT_EQ(std::get<QByteArray>(again), std::get<QByteArray>(withBytes)) << entry->url.toStdString();
        }
        EXPECT_GT(held, 0) << "the walk holds the bytes of small bodies";
    }
}

} // namespace

// A stopped thread's lookup gives up rather than build a cache's index, and leaves nothing behind: the
// next lookup builds the index whole. Through a combined cache, as the copy worker looks up.
TEST(CombinedCacheTest, AStoppedLookupFindsNothingAndTheNextOneFindsAll)
{
    const QString data = QStringLiteral(WEBGLEANER_TEST_DATA "/caches/");
    const std::pair<const char*, std::function<std::unique_ptr<UrlCache>()>> readers[] = {
        {"simple", [&] { return std::make_unique<SimpleCache>(data + "chromium-simple/Cache_Data"); }},
        {"firefox", [&] { return std::make_unique<FirefoxCache>(data + "firefox-cache2"); }},
        {"blockfile", [&] { return std::make_unique<BlockfileCache>(data + "chromium-blockfile/Cache_Data"); }},
        {"webkit", [&] { return std::make_unique<WebKitCache>(data + "webkit/WebKitCache"); }},
    };
    for (const auto& [name, open] : readers) {
        SCOPED_TRACE(name);
        QStringList urls;
        const std::unique_ptr<CacheEnumeration> walk = open()->enumerate();
        while (const std::optional<CacheEntry> entry = walk->next())
            urls << entry->url;
        ASSERT_FALSE(urls.isEmpty());

        std::vector<std::unique_ptr<UrlCache>> one;
        one.push_back(open());
        CombinedCache combined(std::move(one));
        std::atomic<bool> stop{true};
        EXPECT_FALSE(combined.lookupUnlessStopped(urls.first(), stop).has_value());
        stop = false;
        for (const QString& url : urls)
            EXPECT_TRUE(combined.lookupUnlessStopped(url, stop).has_value()) << url.toStdString();
        // Once built, a stop no longer matters: nothing is left to wait for.
        stop = true;
        EXPECT_TRUE(combined.lookupUnlessStopped(urls.first(), stop).has_value());
    }
}
