#include "engine/cache/CacheDetector.h"

#include "QtPrinters.h"
#include "TestFolders.h"
#include <QDir>
#include <QFile>
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

TEST_F(CacheDetectorTest, ReadsTheConfiguredFolders)
{
    touch("webgleaner.ini", "[other]\na=/nope\n[cache]\nfirst=~/caches/one\nsecond=/var/caches/two\nempty=\n");
    EXPECT_EQ(CacheDetector::configuredFolders(at("webgleaner.ini"), "/home/user"),
              (QStringList{"/home/user/caches/one", "/var/caches/two"}));
    EXPECT_TRUE(CacheDetector::configuredFolders(at("missing.ini"), "/home/user").isEmpty());
}

} // namespace
