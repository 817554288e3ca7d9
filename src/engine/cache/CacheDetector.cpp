#include "engine/cache/CacheDetector.h"

#include "engine/cache/BlockfileCache.h"
#include "engine/cache/CombinedCache.h"
#include "engine/cache/FileDescriptor.h"
#include "engine/cache/FirefoxCache.h"
#include "engine/cache/IndexDatCache.h"
#include "engine/cache/SimpleCache.h"
#include "util/IniFile.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace
{

QByteArray firstBytes(const QString& path, qint64 count)
{
    return FileDescriptor::readStart(path, count).value_or(QByteArray());
}

bool hasSimpleEntryFiles(const QDir& dir)
{
    static const QRegularExpression entryName(QStringLiteral("^[0-9a-f]{16}_0$"));
    QDirIterator files(dir.path(), QDir::Files);
    // A few names are enough to tell; a folder of thousands need not be listed whole.
    for (int looked = 0; files.hasNext() && looked < 64; ++looked) {
        if (entryName.match(QFileInfo(files.next()).fileName()).hasMatch())
            return true;
    }
    return false;
}

// Whether `path` is there but this user may not read it (a folder: list it and open what is in it).
// Asked of the system rather than tried, so that nothing is opened; any other failure (no such file)
// is not a matter of permission.
bool permissionDenied(const QString& path, bool folder)
{
    const int mode = folder ? R_OK | X_OK : R_OK;
    if (::faccessat(AT_FDCWD, QFile::encodeName(path).constData(), mode, AT_EACCESS) == 0)
        return false;
    return errno == EACCES || errno == EPERM;
}

CacheLocation::Kind kindOf(const QString& folder)
{
    const QDir dir(folder);
    if (!dir.exists())
        return CacheLocation::Kind::Unknown;
    if (permissionDenied(folder, true))
        return CacheLocation::Kind::NoPermission;
    const QString firefoxEntries = dir.filePath(QStringLiteral("entries"));
    if (QFileInfo(firefoxEntries).isDir())
        return permissionDenied(firefoxEntries, true) ? CacheLocation::Kind::NoPermission
                                                      : CacheLocation::Kind::Firefox;
    if (IndexDatCache::recognises(folder))
        return CacheLocation::Kind::IndexDat;
    const QString index = dir.filePath(QStringLiteral("index"));
    const QByteArray indexMagic = firstBytes(index, 8);
    if (indexMagic.startsWith(QByteArray::fromHex("c3ca03c1")) && QFile::exists(dir.filePath(QStringLiteral("data_0"))))
        return CacheLocation::Kind::ChromiumBlockfile;
    if (indexMagic == QByteArray::fromHex("305c72a71b6dfbfc") ||
        QFile::exists(dir.filePath(QStringLiteral("index-dir/the-real-index"))) || hasSimpleEntryFiles(dir))
        return CacheLocation::Kind::ChromiumSimple;
    // The index is what tells the formats apart, and what the blockfile and old Windows readers cannot do
    // without: one this user may not read leaves a cache that cannot be read, not a folder without one.
    if (permissionDenied(index, false) || permissionDenied(dir.filePath(QStringLiteral("index.dat")), false))
        return CacheLocation::Kind::NoPermission;
    return CacheLocation::Kind::Unknown;
}

QStringList subfolders(const QString& folder)
{
    return QDir(folder).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
}

// Collects caches in a fixed order, each folder once.
class Finder
{
public:
    void add(const QString& folder)
    {
        const CacheLocation location = CacheDetector::recognise(folder);
        if (location.kind != CacheLocation::Kind::Unknown && !seen_.contains(location.folder)) {
            seen_.insert(location.folder);
            found_ << location;
        }
    }

    // The HTTP caches a cache home may hold. Only profiles' "Cache" folders count: the browsers keep
    // other stores in the same container format (Code Cache, Service Worker storage) that are not caches
    // of web responses.
    void addCacheHome(const QString& cacheHome)
    {
        static const QRegularExpression chromiumFamily(
            QStringLiteral("^(chromium|google-chrome.*|microsoft-edge.*|vivaldi.*|opera.*)$"));
        QStringList browserFolders;
        for (const QString& name : subfolders(cacheHome)) {
            if (chromiumFamily.match(name).hasMatch())
                browserFolders << QDir(cacheHome).filePath(name);
        }
        const QString brave = QDir(cacheHome).filePath(QStringLiteral("BraveSoftware"));
        for (const QString& name : subfolders(brave))
            browserFolders << QDir(brave).filePath(name);
        for (const QString& browser : browserFolders)
            addProfiles(browser);

        const QString firefox = QDir(cacheHome).filePath(QStringLiteral("mozilla/firefox"));
        for (const QString& profile : subfolders(firefox))
            addFolder(QDir(firefox).filePath(profile + QStringLiteral("/cache2")));

        // Qt WebEngine keeps its profiles in <cache home>/[<organisation>/]<application>/QtWebEngine.
        for (const QString& first : subfolders(cacheHome)) {
            const QString level1 = QDir(cacheHome).filePath(first);
            addWebEngineProfiles(QDir(level1).filePath(QStringLiteral("QtWebEngine")));
            for (const QString& second : subfolders(level1))
                addWebEngineProfiles(QDir(level1).filePath(second + QStringLiteral("/QtWebEngine")));
        }
    }

    // A Wine prefix: the old URL cache of each Windows user, and the Chromium-family profiles inside it.
    void addWinePrefix(const QString& prefix)
    {
        const QString users = QDir(prefix).filePath(QStringLiteral("drive_c/users"));
        for (const QString& user : subfolders(users)) {
            const QDir home(QDir(users).filePath(user));
            for (const char* urlCache : {"AppData/Local/Microsoft/Windows/INetCache/Content.IE5",
                                         "AppData/Local/Microsoft/Windows/Temporary Internet Files/Content.IE5",
                                         "Local Settings/Temporary Internet Files/Content.IE5"})
                addFolder(home.filePath(QLatin1String(urlCache)));
            for (const char* browser :
                 {"AppData/Local/Google/Chrome/User Data", "AppData/Local/Microsoft/Edge/User Data",
                  "AppData/Local/Chromium/User Data", "AppData/Local/BraveSoftware/Brave-Browser/User Data"}) {
                const QString data = home.filePath(QLatin1String(browser));
                for (const QString& profile : subfolders(data)) {
                    addFolder(QDir(data).filePath(profile + QStringLiteral("/Cache/Cache_Data")));
                    addFolder(QDir(data).filePath(profile + QStringLiteral("/Cache")));
                }
            }
        }
    }

    QList<CacheLocation> found() const { return found_; }

private:
    void addFolder(const QString& folder)
    {
        if (QFileInfo(folder).isDir())
            add(folder);
    }

    void addProfiles(const QString& browser)
    {
        addFolder(QDir(browser).filePath(QStringLiteral("Cache/Cache_Data")));
        for (const QString& profile : subfolders(browser))
            addFolder(QDir(browser).filePath(profile + QStringLiteral("/Cache/Cache_Data")));
    }

    void addWebEngineProfiles(const QString& webEngine)
    {
        for (const QString& profile : subfolders(webEngine)) {
            const QString folder = QDir(webEngine).filePath(profile);
            for (const char* cache : {"Cache/Cache_Data", "Cache_Data", "Cache"})
                addFolder(QDir(folder).filePath(QLatin1String(cache)));
        }
    }

    QList<CacheLocation> found_;
    QSet<QString> seen_;
};

} // namespace

QString CacheLocation::kindName(Kind kind)
{
    switch (kind) {
    case Kind::ChromiumSimple:
        return QStringLiteral("chromium-simple");
    case Kind::ChromiumBlockfile:
        return QStringLiteral("chromium-blockfile");
    case Kind::Firefox:
        return QStringLiteral("firefox");
    case Kind::IndexDat:
        return QStringLiteral("indexdat");
    case Kind::NoPermission:
        return QStringLiteral("no-permission");
    case Kind::Unknown:
        break;
    }
    return QStringLiteral("unknown");
}

CacheDetector::Homes CacheDetector::Homes::fromEnvironment()
{
    Homes homes;
    homes.home = qEnvironmentVariable("HOME", QDir::homePath());
    // XDG paths must be absolute; a relative one is to be ignored.
    const QString cacheHome = qEnvironmentVariable("XDG_CACHE_HOME");
    homes.cacheHome = QDir::isAbsolutePath(cacheHome) ? cacheHome : QDir(homes.home).filePath(QStringLiteral(".cache"));
    const QString configHome = qEnvironmentVariable("XDG_CONFIG_HOME");
    homes.configHome =
        QDir::isAbsolutePath(configHome) ? configHome : QDir(homes.home).filePath(QStringLiteral(".config"));
    return homes;
}

QList<CacheLocation> CacheDetector::detect(const Homes& homes)
{
    Finder finder;
    finder.addCacheHome(homes.cacheHome);
    // Snap packages keep a home of their own; flatpak gives each application its own cache home.
    const QString snaps = QDir(homes.home).filePath(QStringLiteral("snap"));
    for (const QString& snap : subfolders(snaps))
        finder.addCacheHome(QDir(snaps).filePath(snap + QStringLiteral("/common/.cache")));
    const QString flatpaks = QDir(homes.home).filePath(QStringLiteral(".var/app"));
    for (const QString& app : subfolders(flatpaks))
        finder.addCacheHome(QDir(flatpaks).filePath(app + QStringLiteral("/cache")));
    // Wine keeps a Windows user's files in a prefix: ~/.wine, or one of many kept by Wine front ends.
    finder.addWinePrefix(QDir(homes.home).filePath(QStringLiteral(".wine")));
    for (const char* prefixes :
         {".local/share/wineprefixes", ".PlayOnLinux/wineprefix", ".local/share/bottles/bottles"}) {
        const QString folder = QDir(homes.home).filePath(QLatin1String(prefixes));
        for (const QString& prefix : subfolders(folder))
            finder.addWinePrefix(QDir(folder).filePath(prefix));
    }
    return finder.found();
}

CacheLocation CacheDetector::recognise(const QString& folder)
{
    const QString clean = QDir::cleanPath(QDir(folder).absolutePath());
    // A cache that can be read wins over an unreadable folder beside it, as in a profile folder.
    CacheLocation unreadable{CacheLocation::Kind::Unknown, clean};
    for (const char* inside : {"", "Cache/Cache_Data", "Cache_Data", "cache2", "Cache", "Content.IE5"}) {
        const QString candidate = *inside ? QDir(clean).filePath(QLatin1String(inside)) : clean;
        const CacheLocation::Kind kind = kindOf(candidate);
        if (kind == CacheLocation::Kind::NoPermission) {
            if (unreadable.kind == CacheLocation::Kind::Unknown)
                unreadable = {kind, candidate};
            // Nothing inside a folder that cannot be listed can be looked at.
            if (candidate == clean)
                break;
        } else if (kind != CacheLocation::Kind::Unknown) {
            return {kind, candidate};
        }
    }
    return unreadable;
}

QStringList CacheDetector::configuredFolders(const QString& iniFile, const QString& home)
{
    QStringList folders;
    if (!QFileInfo(iniFile).isFile())
        return folders;
    const IniFile ini(iniFile);
    for (const auto& [key, value] : ini.sectionEntries(QStringLiteral("cache"))) {
        if (value.isEmpty())
            continue;
        folders << (value.startsWith(QLatin1String("~/")) ? QDir(home).filePath(value.mid(2)) : value);
    }
    return folders;
}

QList<CacheLocation> CacheDetector::programCaches(const QString& iniFile, const Homes& homes)
{
    const QStringList configured = configuredFolders(iniFile, homes.home);
    if (configured.isEmpty())
        return detect(homes);
    QList<CacheLocation> locations;
    for (const QString& folder : configured) {
        const CacheLocation location = recognise(folder);
        if (location.kind != CacheLocation::Kind::Unknown && !locations.contains(location))
            locations << location;
    }
    return locations;
}

std::unique_ptr<UrlCache> CacheDetector::open(const CacheLocation& location)
{
    switch (location.kind) {
    case CacheLocation::Kind::ChromiumSimple:
        return std::make_unique<SimpleCache>(location.folder);
    case CacheLocation::Kind::Firefox:
        return std::make_unique<FirefoxCache>(location.folder);
    case CacheLocation::Kind::IndexDat:
        return std::make_unique<IndexDatCache>(location.folder);
    case CacheLocation::Kind::ChromiumBlockfile:
        return std::make_unique<BlockfileCache>(location.folder);
    case CacheLocation::Kind::NoPermission:
    case CacheLocation::Kind::Unknown:
        break;
    }
    return nullptr;
}

std::unique_ptr<UrlCache> CacheDetector::openAll(const QList<CacheLocation>& locations)
{
    std::vector<std::unique_ptr<UrlCache>> caches;
    for (const CacheLocation& location : locations) {
        if (std::unique_ptr<UrlCache> cache = open(location))
            caches.push_back(std::move(cache));
    }
    return std::make_unique<CombinedCache>(std::move(caches));
}
