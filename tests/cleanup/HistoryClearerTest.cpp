#include "cleanup/HistoryClearer.h"

#include "QtPrinters.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace
{

TEST(HistoryClearerTest, EachCacheLeadsToTheProfileHoldingItsHistory)
{
    QTemporaryDir home;
    const CacheDetector::Homes homes{home.path(), home.filePath(".cache"), home.filePath(".config")};
    using Kind = CacheLocation::Kind;
    // clang-format off
    const struct { const char* name; Kind kind; const char* cache; const char* profile; const char* store; } cases[] = {
        {"Chromium",        Kind::ChromiumSimple, ".cache/chromium/Default/Cache/Cache_Data",
                                                  ".config/chromium/Default", "History"},
        {"BraveProfile",    Kind::ChromiumSimple, ".cache/BraveSoftware/Brave-Browser/Profile 1/Cache/Cache_Data",
                                                  ".config/BraveSoftware/Brave-Browser/Profile 1", "History"},
        {"SameProfileAgain", Kind::ChromiumSimple, ".cache/chromium/Default/Cache/Cache_Data",
                                                  ".config/chromium/Default", "History"},
        {"Firefox",         Kind::Firefox,        ".cache/mozilla/firefox/ab12.default-esr/cache2",
                                                  ".mozilla/firefox/ab12.default-esr", "places.sqlite"},
        {"FirefoxXdg",      Kind::Firefox,        ".cache/mozilla/firefox/cd34.default/cache2",
                                                  ".config/mozilla/firefox/cd34.default", "places.sqlite"},
        {"FirefoxSnap",     Kind::Firefox,        "snap/firefox/common/.cache/mozilla/firefox/ef56.default/cache2",
                                                  "snap/firefox/common/.mozilla/firefox/ef56.default", "places.sqlite"},
        {"ChromiumFlatpak", Kind::ChromiumSimple, ".var/app/org.chromium.Chromium/cache/chromium/Default/Cache/Cache_Data",
                                                  ".var/app/org.chromium.Chromium/config/chromium/Default", "History"},
        {"ProfileCopy",     Kind::Firefox,        "backup/profile/cache2", "backup/profile", "places.sqlite"},
        {"NoHistory",       Kind::ChromiumSimple, ".cache/chromium/Profile 2/Cache/Cache_Data", nullptr, nullptr},
    };
    // clang-format on
    QList<CacheLocation> caches;
    QStringList expected;
    for (const auto& c : cases) {
        caches << CacheLocation{c.kind, home.filePath(QLatin1String(c.cache))};
        if (c.profile == nullptr)
            continue;
        const QString profile = home.filePath(QLatin1String(c.profile));
        ASSERT_TRUE(QDir().mkpath(profile)) << c.name;
        QFile store(profile + u'/' + QLatin1String(c.store));
        ASSERT_TRUE(store.open(QIODevice::WriteOnly)) << c.name;
        if (!expected.contains(profile))
            expected << profile;
    }
    // An app built on Chromium keeps a history store beside its cache: not the user's browsing.
    CacheLocation app{Kind::ChromiumSimple, home.filePath(".config/discord/Cache/Cache_Data")};
    app.app = true;
    caches << app;
    ASSERT_TRUE(QDir().mkpath(home.filePath(".config/discord")));
    QFile appHistory(home.filePath(".config/discord/History"));
    ASSERT_TRUE(appHistory.open(QIODevice::WriteOnly));
    EXPECT_EQ(HistoryClearer::profileFolders(caches, homes), expected);
}

} // namespace
