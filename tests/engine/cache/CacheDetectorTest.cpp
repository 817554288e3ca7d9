#include "engine/cache/CacheDetector.h"
#include "util/IniFile.h"

#include "QtPrinters.h"
#include "TestFolders.h"
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <unistd.h>

namespace
{

using Kind = CacheLocation::Kind;

class CacheDetectorTest : public ::testing::Test
{
protected:
    QString at(const QString& relative) const { return QDir(home_.path()).filePath(relative); }

    // The least a folder needs to be told apart: the files each browser writes first.
    void makeSimpleCache(const QString& relative) const
    {
        QDir().mkpath(at(relative + "/index-dir"));
        touch(relative + "/index-dir/the-real-index", "");
    }
    void makeFirefoxCache(const QString& relative) const { QDir().mkpath(at(relative + "/entries")); }
    void makeBlockfileCache(const QString& relative) const
    {
        QDir().mkpath(at(relative));
        touch(relative + "/index", QByteArray::fromHex("c3ca03c1020003000000"));
        touch(relative + "/data_0", "");
    }
    void makeWebKitCache(const QString& relative) const { QDir().mkpath(at(relative + "/Version 17/Records")); }
    void makeIndexDatCache(const QString& relative) const
    {
        QDir().mkpath(at(relative));
        ASSERT_TRUE(QFile::copy(WEBGLEANER_TEST_DATA "/caches/indexdat/small/Content.IE5/index.dat",
                                at(relative + "/index.dat")));
    }
    void touch(const QString& relative, const QByteArray& content) const
    {
        ASSERT_TRUE(writeFileBytes(at(relative), content));
    }

    QStringList found() const
    {
        CacheDetector::Homes homes{home_.path(), at(".cache"), at(".config")};
        QStringList result;
        for (const CacheLocation& location : CacheDetector::detect(homes))
            result << CacheLocation::kindName(location.kind) + " " +
                          QDir(home_.path()).relativeFilePath(location.folder);
        return result;
    }

    QTemporaryDir home_;
};

TEST_F(CacheDetectorTest, FindsTheBrowsersHttpCachesInTheUsersFolders)
{
    makeSimpleCache(".cache/chromium/Default/Cache/Cache_Data");
    makeSimpleCache(".cache/chromium/Profile 1/Cache/Cache_Data");
    makeSimpleCache(".cache/chromium/Default/Code Cache/js"); // same container, not web responses
    makeSimpleCache(".cache/google-chrome/Default/Cache/Cache_Data");
    makeSimpleCache(".cache/BraveSoftware/Brave-Browser/Default/Cache/Cache_Data");
    makeSimpleCache(".cache/opera/Cache/Cache_Data");
    makeSimpleCache(".cache/unrelated-app/Default/Cache/Cache_Data");
    makeFirefoxCache(".cache/mozilla/firefox/ab12cd.default-esr/cache2");
    makeSimpleCache(".cache/example/viewer/QtWebEngine/Default/Cache");
    makeFirefoxCache("snap/firefox/common/.cache/mozilla/firefox/x1.default/cache2");
    makeSimpleCache(".var/app/org.chromium.Chromium/cache/chromium/Default/Cache/Cache_Data");
    makeIndexDatCache(".wine/drive_c/users/user/AppData/Local/Microsoft/Windows/INetCache/Content.IE5");
    makeBlockfileCache(".wine/drive_c/users/user/AppData/Local/Google/Chrome/User Data/Default/Cache");
    makeIndexDatCache(".local/share/wineprefixes/office/drive_c/users/me/Local Settings/Temporary Internet Files/"
                      "Content.IE5");

    EXPECT_EQ(found(),
              (QStringList{
                  "chromium-simple .cache/chromium/Default/Cache/Cache_Data",
                  "chromium-simple .cache/chromium/Profile 1/Cache/Cache_Data",
                  "chromium-simple .cache/google-chrome/Default/Cache/Cache_Data",
                  "chromium-simple .cache/opera/Cache/Cache_Data",
                  "chromium-simple .cache/BraveSoftware/Brave-Browser/Default/Cache/Cache_Data",
                  "firefox .cache/mozilla/firefox/ab12cd.default-esr/cache2",
                  "chromium-simple .cache/example/viewer/QtWebEngine/Default/Cache",
                  "firefox snap/firefox/common/.cache/mozilla/firefox/x1.default/cache2",
                  "chromium-simple .var/app/org.chromium.Chromium/cache/chromium/Default/Cache/Cache_Data",
                  "indexdat .wine/drive_c/users/user/AppData/Local/Microsoft/Windows/INetCache/Content.IE5",
                  "chromium-blockfile .wine/drive_c/users/user/AppData/Local/Google/Chrome/User Data/Default/Cache",
                  "indexdat .local/share/wineprefixes/office/drive_c/users/me/Local Settings/Temporary Internet "
                  "Files/Content.IE5",
              }));
}

TEST_F(CacheDetectorTest, FindsTheNetworkCachesOfWebKitGtkProgramsByTheirNames)
{
    const QString fixture = QStringLiteral(WEBGLEANER_TEST_DATA "/caches/webkit/WebKitCache");
    ASSERT_TRUE(copyFolder(fixture, at(".cache/epiphany/WebKitCache")));
    ASSERT_TRUE(copyFolder(fixture, at(".var/app/org.gnome.Epiphany/cache/epiphany/WebKitCache")));
    makeWebKitCache(".cache/yelp/WebKitCache");
    QDir().mkpath(at(".cache/geary/WebKitCache/Version 16/Records")); // a version this program cannot read

    QStringList found;
    for (const CacheLocation& location : CacheDetector::detect({home_.path(), at(".cache"), at(".config")}))
        found << CacheLocation::kindName(location.kind) + " " + location.title() + " | " +
                     QDir(home_.path()).relativeFilePath(location.folder) + (location.app ? " (app)" : "");
    EXPECT_EQ(found, (QStringList{
                         "webkit GNOME Web | .cache/epiphany/WebKitCache",
                         "webkit yelp | .cache/yelp/WebKitCache (app)",
                         "webkit GNOME Web (Flatpak) | .var/app/org.gnome.Epiphany/cache/epiphany/WebKitCache",
                     }));

    // A folder the user names: the cache in it, called by the path's names.
    const CacheLocation named = CacheDetector::recognise(at(".var/app/org.gnome.Epiphany/cache/epiphany"));
    EXPECT_EQ(named.kind, Kind::WebKit);
    EXPECT_EQ(named.folder, at(".var/app/org.gnome.Epiphany/cache/epiphany/WebKitCache"));
    EXPECT_EQ(named.title(), "GNOME Web (Flatpak)");
    EXPECT_FALSE(named.app);
}

TEST_F(CacheDetectorTest, AnEmptyHomeHasNoCaches)
{
    EXPECT_TRUE(found().isEmpty());
}

TEST_F(CacheDetectorTest, RecognisesAFolderByItsContents)
{
    makeSimpleCache("profile/Cache/Cache_Data");
    makeFirefoxCache("ffprofile/cache2");
    makeBlockfileCache("windows/Cache_Data");
    makeIndexDatCache("inetcache/Content.IE5");
    QDir().mkpath(at("empty"));
    touch("bare/0123456789abcdef_0", "x"); // entry files without an index yet
    struct Case
    {
        const char* folder;
        Kind kind;
        const char* resolved;
    };
    const Case cases[] = {
        {"profile", Kind::ChromiumSimple, "profile/Cache/Cache_Data"},
        {"profile/Cache/Cache_Data", Kind::ChromiumSimple, "profile/Cache/Cache_Data"},
        {"ffprofile", Kind::Firefox, "ffprofile/cache2"},
        {"windows", Kind::ChromiumBlockfile, "windows/Cache_Data"},
        {"inetcache", Kind::IndexDat, "inetcache/Content.IE5"},
        {"bare", Kind::ChromiumSimple, "bare"},
        {"empty", Kind::Unknown, "empty"},
        {"missing", Kind::Unknown, "missing"},
    };
    for (const Case& c : cases) {
        const CacheLocation location = CacheDetector::recognise(at(c.folder));
        EXPECT_EQ(location.kind, c.kind) << c.folder;
        EXPECT_EQ(location.folder, at(c.resolved)) << c.folder;
    }
}

TEST_F(CacheDetectorTest, ACacheThisUserMayNotReadIsToldApart)
{
    if (::geteuid() == 0) {
        // Root reads files and folders without permission; run this one as another user.
        GTEST_SKIP() << "root reads files without permission";
    }
    makeBlockfileCache("blockfile/Cache_Data");
    makeIndexDatCache("indexdat/Content.IE5");
    makeFirefoxCache("firefox/cache2");
    makeSimpleCache("folder/Cache/Cache_Data");
    QDir().mkpath(at("beside/Cache/Cache_Data"));
    makeFirefoxCache("beside/cache2");
    touch("notacache/index", "x"); // an index file that may be read, of no known format
    struct Case
    {
        const char* name;
        const char* unreadable; // chmod 000
        const char* folder;     // given to recognise
        Kind kind;
        const char* resolved;
    };
    // clang-format off
    const Case cases[] = {
        {"BlockfileIndex",       "blockfile/Cache_Data/index",          "blockfile",                Kind::NoPermission,   "blockfile/Cache_Data"},
        {"IndexDatIndex",        "indexdat/Content.IE5/index.dat",      "indexdat",                 Kind::NoPermission,   "indexdat/Content.IE5"},
        {"FirefoxEntries",       "firefox/cache2/entries",              "firefox",                  Kind::NoPermission,   "firefox/cache2"},
        {"CacheFolder",          "folder/Cache/Cache_Data",             "folder",                   Kind::NoPermission,   "folder/Cache/Cache_Data"},
        {"GivenFolder",          "folder",                              "folder",                   Kind::NoPermission,   "folder"},
        {"ReadableCacheBeside",  "beside/Cache/Cache_Data",             "beside",                   Kind::Firefox,        "beside/cache2"},
        {"ReadableIndex",        nullptr,                               "notacache",                Kind::Unknown,        "notacache"},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.unreadable != nullptr) {
            ASSERT_TRUE(QFile::setPermissions(at(c.unreadable), {}));
        }
        const CacheLocation location = CacheDetector::recognise(at(c.folder));
        EXPECT_EQ(location.kind, c.kind);
        EXPECT_EQ(location.folder, at(c.resolved));
        if (c.unreadable != nullptr)
            QFile::setPermissions(at(c.unreadable), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    // Found in the user's folders: reported with the readable ones, in their place.
    makeSimpleCache(".cache/chromium/Default/Cache/Cache_Data");
    makeBlockfileCache(".wine/drive_c/users/user/AppData/Local/Google/Chrome/User Data/Default/Cache");
    const QString index = at(".wine/drive_c/users/user/AppData/Local/Google/Chrome/User Data/Default/Cache/index");
    ASSERT_TRUE(QFile::setPermissions(index, {}));
    EXPECT_EQ(found(), (QStringList{
                           "chromium-simple .cache/chromium/Default/Cache/Cache_Data",
                           "no-permission .wine/drive_c/users/user/AppData/Local/Google/Chrome/User Data/Default/Cache",
                       }));
    QFile::setPermissions(index, QFile::ReadOwner | QFile::WriteOwner);
}

// Real caches, as the browsers wrote them, each copied to where a program keeps its own: a few entry
// files of each are enough to be told apart and read.
enum class Fixture
{
    Simple,
    Firefox,
    CacheStorage,       // Service Worker/CacheStorage: <origin hash>/<cache id>/
    BucketCacheStorage, // WebStorage: <bucket>/CacheStorage/<cache id>/
};

class HomeLayoutTest : public CacheDetectorTest
{
protected:
    void copyFixture(Fixture fixture, const QString& relative) const
    {
        struct Source
        {
            const char* folder;
            const char* into; // below `relative`
            int entryFiles;   // of each folder, at most; -1 all
        };
        const QString data = QStringLiteral(WEBGLEANER_TEST_DATA "/caches/");
        const QString storage = data + QStringLiteral("chromium-cache-storage/CacheStorage");
        const QString origin =
            storage + QLatin1Char('/') + QDir(storage).entryList(QDir::Dirs | QDir::NoDotAndDotDot).first();
        const QString from = fixture == Fixture::Simple         ? data + QStringLiteral("chromium-pages/Cache_Data")
                             : fixture == Fixture::Firefox      ? data + QStringLiteral("firefox-cache2")
                             : fixture == Fixture::CacheStorage ? storage
                                                                : origin;
        const QString to =
            fixture == Fixture::BucketCacheStorage ? at(relative + QStringLiteral("/1/CacheStorage")) : at(relative);
        QDirIterator files(from, QDir::Files, QDirIterator::Subdirectories);
        QHash<QString, int> perFolder;
        while (files.hasNext()) {
            const QString file = files.next();
            const QString inside = QDir(from).relativeFilePath(file);
            // Three entries of each cache: the index and other files whole.
            const bool entry = QFileInfo(file).fileName().endsWith(QLatin1String("_0")) ||
                               inside.startsWith(QLatin1String("entries/"));
            if (entry && ++perFolder[QFileInfo(file).path()] > 3)
                continue;
            ASSERT_TRUE(writeFileBytes(to + QLatin1Char('/') + inside, fileBytes(file)));
        }
    }

    // Each cache found: "<kind> <title> | <folder below the home>", sorted.
    QStringList titles() const
    {
        CacheDetector::Homes homes{home_.path(), at(".cache"), at(".config")};
        QStringList result;
        for (const CacheLocation& location : CacheDetector::detect(homes))
            result << CacheLocation::kindName(location.kind) + " " + location.title() + " | " +
                          QDir(home_.path()).relativeFilePath(location.folder) + (location.app ? " (app)" : "");
        result.sort();
        return result;
    }
};

TEST_F(HomeLayoutTest, EveryBrowserForkAppSnapAndFlatpakIsFoundByTheNameItsUserKnows)
{
    struct Case
    {
        Fixture fixture;
        const char* folder; // where the cache is copied
        const char* found;  // the title and folder found; nullptr: the folder is not a cache to find
    };
    const auto simple = Fixture::Simple;
    const auto firefox = Fixture::Firefox;
    // clang-format off
    const Case cases[] = {
        // Chromium family; Local State names two profiles
        {simple,  ".cache/chromium/Default/Cache/Cache_Data",                     "chromium-simple Chromium · Default (Person 1)"},
        {simple,  ".cache/chromium/Profile 2/Cache/Cache_Data",                   "chromium-simple Chromium · Profile 2 (Work)"},
        {Fixture::CacheStorage, ".config/chromium/Profile 2/Service Worker/CacheStorage",
                                                                                  "chromium-cache-storage Chromium · Profile 2 (Work) · service workers"},
        {Fixture::BucketCacheStorage, ".config/chromium/Default/WebStorage",      "chromium-cache-storage Chromium · Default (Person 1) · service workers"},
        {simple,  ".cache/chromium/Default/Code Cache/js",                        nullptr},
        {simple,  ".config/chromium/Default/Service Worker/ScriptCache",          nullptr},
        {simple,  ".cache/google-chrome/Default/Cache/Cache_Data",                "chromium-simple Google Chrome · Default"},
        {simple,  ".cache/BraveSoftware/Brave-Browser/Default/Cache/Cache_Data",  "chromium-simple Brave · Default"},
        {simple,  ".cache/yandex-browser/Default/Cache/Cache_Data",               "chromium-simple Yandex Browser · Default"},
        {simple,  ".cache/opera/Cache/Cache_Data",                                "chromium-simple Opera"},
        {simple,  ".cache/google-chrome-canary/Default/Cache/Cache_Data",         "chromium-simple google-chrome-canary · Default"},
        {simple,  ".var/app/org.chromium.Chromium/cache/chromium/Default/Cache/Cache_Data",
                                                                                  "chromium-simple Chromium (Flatpak) · Default"},
        {simple,  ".cache/qutebrowser/webengine/Cache",                           "chromium-simple qutebrowser"},
        {simple,  "snap/chromium/common/.cache/chromium/Default/Cache/Cache_Data", "chromium-simple Chromium (Snap) · Default"},
        {Fixture::CacheStorage, "snap/chromium/common/chromium/Default/Service Worker/CacheStorage",
                                                                                  "chromium-cache-storage Chromium (Snap) · Default · service workers"},
        // Firefox family: without profiles.ini, by a relative Path= two folders deep (Firefox 147 and later),
        // by a relative one, by an absolute one
        {firefox, ".cache/mozilla/firefox/ab12cd.default-esr/cache2",             "firefox Firefox · default-esr"},
        {firefox, ".cache/mozilla/firefox/Profiles/x9y8.default-release/cache2",  "firefox Firefox · main"},
        {firefox, ".cache/librewolf/lw12.default-release/cache2",                 "firefox LibreWolf · default-release"},
        {firefox, "elsewhere/wf-profile/cache2",                                  "firefox Waterfox · work"},
        {firefox, ".cache/floorp/fl34.default-release/cache2",                    "firefox Floorp · default-release"},
        {firefox, ".cache/zen/zn56.Default (release)/cache2",                     "firefox Zen · Default (release)"},
        {firefox, ".cache/mullvad/mullvadbrowser/mv78.default-release/cache2",    "firefox Mullvad Browser · default-release"},
        {firefox, ".cache/thunderbird/tb90.default/cache2",                       "firefox Thunderbird · default"},
        {firefox, ".var/app/io.gitlab.librewolf-community/cache/librewolf/ab.default-default/cache2",
                                                                                  "firefox LibreWolf (Flatpak) · default-default"},
        {firefox, "snap/firefox/common/.cache/mozilla/firefox/x1.default/cache2", "firefox Firefox (Snap) · default"},
        // Apps built on Chromium or CEF, known or not, natively, as Flatpak and as Snap
        {simple,  ".config/discord/Cache/Cache_Data",                             "chromium-simple Discord"},
        {simple,  ".config/Code/Cache/Cache_Data",                                "chromium-simple Visual Studio Code"},
        {simple,  ".config/Some New App/Cache/Cache_Data",                        "chromium-simple Some New App"},
        {Fixture::CacheStorage, ".config/Signal/Service Worker/CacheStorage",     "chromium-cache-storage Signal · service workers"},
        {simple,  ".var/app/com.discordapp.Discord/config/discord/Cache/Cache_Data",
                                                                                  "chromium-simple Discord (Flatpak)"},
        {simple,  "snap/slack/current/.config/Slack/Cache/Cache_Data",            "chromium-simple Slack (Snap)"},
        {simple,  ".local/share/Steam/config/htmlcache/Cache",                    "chromium-simple Steam"},
        {simple,  ".cache/spotify/Browser/Cache",                                 "chromium-simple Spotify"},
        {simple,  ".cache/example/viewer/QtWebEngine/Default/Cache",              "chromium-simple viewer · Default"},
        {simple,  ".cache/falkon/QtWebEngine/Default/Cache",                      "chromium-simple Falkon · Default"},
    };
    // clang-format on
    touch(".config/chromium/Local State",
          R"({"profile": {"info_cache": {"Default": {"name": "Person 1"}, "Profile 2": {"name": "Work"},
              "../escape": {"name": "not a profile"}}}})");
    touch(".config/mozilla/firefox/profiles.ini",
          "[General]\nStartWithLastProfile=1\n\n[Profile0]\nName=main\nIsRelative=1\n"
          "Path=Profiles/x9y8.default-release\nDefault=1\n");
    touch(".librewolf/profiles.ini", "[Profile0]\nName=default-release\nIsRelative=1\nPath=lw12.default-release\n");
    touch(".waterfox/profiles.ini", "[Profile0]\nName=work\nIsRelative=0\nPath=" + at("elsewhere/wf-profile").toUtf8() +
                                        "\n[Install1234]\nDefault=elsewhere\n");
    QDir().mkpath(at(".config/NotAnApp/Cache/Cache_Data")); // an empty folder: no cache

    const QSet<QString> apps{"Discord",
                             "Visual Studio Code",
                             "Some New App",
                             "Signal",
                             "Discord (Flatpak)",
                             "Slack (Snap)",
                             "Steam",
                             "Spotify",
                             "viewer"};
    QStringList expected;
    for (const Case& c : cases) {
        copyFixture(c.fixture, QLatin1String(c.folder));
        if (!c.found)
            continue;
        const QString title = QString::fromUtf8(c.found);
        const QString program = title.section(' ', 1).section(QStringLiteral(" · "), 0, 0);
        expected << title + " | " + c.folder + (apps.contains(program) ? " (app)" : "");
    }
    expected.sort();
    EXPECT_EQ(titles(), expected);

    // What is used by default: browsers and their service workers, not apps; the INI file changes it.
    const CacheDetector::Homes homes{home_.path(), at(".cache"), at(".config")};
    const auto used = [&](const QString& ini) {
        int browsers = 0;
        int apps = 0;
        int serviceWorkers = 0;
        for (const CacheLocation& location : CacheDetector::programCaches(ini, homes)) {
            ++(location.app ? apps : browsers);
            serviceWorkers += location.kind == CacheLocation::Kind::ChromiumCacheStorage;
        }
        return QString("%1 %2 %3").arg(browsers).arg(apps).arg(serviceWorkers);
    };
    EXPECT_EQ(used(at("missing.ini")), "24 0 3");
    touch("apps.ini", "[cache kinds]\napps=1\nservice workers=0\n");
    EXPECT_EQ(used(at("apps.ini")), "21 8 0");
    CacheDetector::Uses onlyApps{false, true, true};
    IniFile written(at("written.ini"));
    onlyApps.writeTo(written);
    EXPECT_EQ(CacheDetector::Uses::fromIni(at("written.ini")), onlyApps);
    EXPECT_EQ(used(at("written.ini")), "0 9 1");
}

TEST_F(CacheDetectorTest, ReadsTheConfiguredFolders)
{
    touch("webgleaner.ini", "[other]\na=/nope\n[cache]\nfirst=~/caches/one\nsecond=/var/caches/two\nempty=\n");
    EXPECT_EQ(CacheDetector::configuredFolders(at("webgleaner.ini"), "/home/user"),
              (QStringList{"/home/user/caches/one", "/var/caches/two"}));
    EXPECT_TRUE(CacheDetector::configuredFolders(at("missing.ini"), "/home/user").isEmpty());
}

} // namespace
