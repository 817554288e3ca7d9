#include "CacheCopy.h"
#include "CacheTestSupport.h"
#include "QtPrinters.h"
#include "engine/cache/BlockfileCache.h"
#include "engine/cache/FirefoxCache.h"
#include "engine/cache/IndexDatCache.h"
#include "engine/cache/SimpleCache.h"
#include "engine/cache/WebKitCache.h"

#include <gtest/gtest.h>

namespace
{

// Every reference a walk of all entries offers, in walk order.
std::vector<CacheEntry> walkAll(UrlCache& cache)
{
    std::vector<CacheEntry> entries;
    const std::unique_ptr<CacheEnumeration> enumeration = cache.enumerateAll();
    while (std::optional<CacheEntry> entry = enumeration->next())
        entries.push_back(std::move(*entry));
    return entries;
}

struct Case
{
    const char* name;
    const char* fixture; // under tests/data/caches
    std::function<std::unique_ptr<UrlCache>(const QString& folder)> open;
    const char* url; // of the entry whose reference is deleted
    bool usable;     // whether a harvest walk offers that entry too
    UrlCache::RemoveOutcome removed;
};

void PrintTo(const Case& c, std::ostream* out)
{
    *out << c.name;
}

template <typename Cache>
std::unique_ptr<UrlCache> openAs(const QString& folder)
{
    return std::make_unique<Cache>(folder);
}

// clang-format off
const Case kCases[] = {
    // A 301 without a body.
    {"SimpleRedirect", "chromium-simple/Cache_Data", openAs<SimpleCache>, "http://127.0.0.1:18431/old.html", false,
     UrlCache::RemoveOutcome::Removed},
    // Fetched by ranges: an entry file with the head and a sparse file with the ranges, both deleted.
    {"SimpleRangeFetched", "chromium-simple/Cache_Data", openAs<SimpleCache>, "http://127.0.0.1:18431/media/tone.wav",
     true, UrlCache::RemoveOutcome::Removed},
    {"FirefoxNotFound", "firefox-cache2", openAs<FirefoxCache>, "http://localhost:18432/favicon.ico", false,
     UrlCache::RemoveOutcome::Removed},
    {"IndexDatFolderPage", "indexdat/small/Content.IE5", openAs<IndexDatCache>, "http://example.test/dir/", true,
     UrlCache::RemoveOutcome::Removed},
    {"BlockfileRedirect", "chromium-blockfile/Cache_Data", openAs<BlockfileCache>, "http://127.0.0.1:18431/old.html",
     false, UrlCache::RemoveOutcome::ReadOnly},
    // A record whose body is in a blob beside it: both deleted.
    {"WebKitBlob", "webkit/WebKitCache", openAs<WebKitCache>, "http://127.0.0.1:18439/big/photo-big.jpg", true,
     UrlCache::RemoveOutcome::Removed},
};
// clang-format on

class EntryReferenceTest : public ::testing::TestWithParam<Case>
{};

TEST_P(EntryReferenceTest, WalksEveryEntryAndDeletesExactlyTheOneReferredTo)
{
    const Case& c = GetParam();
    const CacheCopy copy(QStringLiteral(WEBGLEANER_TEST_DATA "/caches/") + QLatin1String(c.fixture));
    const std::unique_ptr<UrlCache> cache = c.open(copy.path());
    const std::vector<CacheEntry> usable = walk(*cache);
    const std::vector<CacheEntry> all = walkAll(*cache);
    ASSERT_FALSE(usable.empty());

    // Every usable entry is there as a reference of the same entry, which names it as the usable one does.
    for (const CacheEntry& entry : usable) {
        const bool referred = std::any_of(all.begin(), all.end(), [&](const CacheEntry& reference) {
            return reference.url == entry.url && reference.entryKey == entry.entryKey &&
                   reference.sourceFolder == entry.sourceFolder;
        });
        EXPECT_TRUE(referred) << qPrintable(entry.url);
    }
    const auto isTarget = [&](const CacheEntry& entry) { return entry.url == QLatin1String(c.url); };
    EXPECT_EQ(std::any_of(usable.begin(), usable.end(), isTarget), c.usable);
    const auto target = std::find_if(all.begin(), all.end(), isTarget);
    ASSERT_NE(target, all.end());

    // A reference whose URL the entry does not hold any more is another entry now: it stays.
    CacheEntry rewritten = *target;
    rewritten.url += QLatin1String("?other");
    const bool readOnly = c.removed == UrlCache::RemoveOutcome::ReadOnly;
    EXPECT_EQ(cache->removeEntry(rewritten), readOnly ? c.removed : UrlCache::RemoveOutcome::Gone);

    EXPECT_EQ(cache->removeEntry(*target), c.removed);
    EXPECT_EQ(cache->removeEntry(*target), readOnly ? c.removed : UrlCache::RemoveOutcome::Gone);

    // A new reader finds every other entry where it was.
    const std::unique_ptr<UrlCache> reopened = c.open(copy.path());
    QStringList expected;
    for (const CacheEntry& entry : all) {
        if (readOnly || entry.entryKey != target->entryKey)
            expected << entry.url + u' ' + entry.entryKey;
    }
    QStringList left;
    for (const CacheEntry& entry : walkAll(*reopened))
        left << entry.url + u' ' + entry.entryKey;
    EXPECT_EQ(left, expected);
}

INSTANTIATE_TEST_SUITE_P(Caches, EntryReferenceTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& c) { return std::string(c.param.name); });

} // namespace
