#include "engine/cache/CacheDetector.h"

#include "engine/cache/BlockfileCache.h"
#include "engine/cache/CacheStorageRoot.h"
#include "engine/cache/CombinedCache.h"
#include "engine/cache/FileDescriptor.h"
#include "engine/cache/FirefoxCache.h"
#include "engine/cache/IndexDatCache.h"
#include "engine/cache/SimpleCache.h"
#include "engine/cache/WebKitCache.h"
#include "engine/cache/WebKitCacheFolder.h"
#include "util/IniFile.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>
#include <algorithm>
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
    if (WebKitCacheFolder::recognises(folder))
        return CacheLocation::Kind::WebKit;
    // Searched for only under the names the browsers give them: a search below any folder could take long.
    const QString name = QFileInfo(folder).fileName();
    if ((name == QLatin1String("CacheStorage") || name == QLatin1String("WebStorage")) &&
        CacheStorageRoot::recognises(folder))
        return CacheLocation::Kind::ChromiumCacheStorage;
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

QString pathIn(const QString& folder, const QString& relative)
{
    return QDir(folder).filePath(relative);
}

// What the user calls a program by the folder it keeps its files in.
struct KnownName
{
    const char* folder;
    const char* name;
};

// Chromium-family browsers by their folder in the cache and configuration homes.
constexpr KnownName kChromiumBrowsers[] = {
    {"chromium", "Chromium"},
    {"google-chrome", "Google Chrome"},
    {"google-chrome-beta", "Google Chrome Beta"},
    {"google-chrome-unstable", "Google Chrome Dev"},
    {"microsoft-edge", "Microsoft Edge"},
    {"microsoft-edge-beta", "Microsoft Edge Beta"},
    {"microsoft-edge-dev", "Microsoft Edge Dev"},
    {"vivaldi", "Vivaldi"},
    {"vivaldi-snapshot", "Vivaldi Snapshot"},
    {"opera", "Opera"},
    {"opera-beta", "Opera Beta"},
    {"opera-developer", "Opera Developer"},
    {"yandex-browser", "Yandex Browser"},
    {"yandex-browser-beta", "Yandex Browser Beta"},
    {"BraveSoftware/Brave-Browser", "Brave"},
    {"BraveSoftware/Brave-Browser-Beta", "Brave Beta"},
    {"BraveSoftware/Brave-Browser-Nightly", "Brave Nightly"},
};

// Apps built on Chromium (Electron) by their folder in the configuration home; others are called by
// their folder's name.
constexpr KnownName kChromiumApps[] = {
    {"Code", "Visual Studio Code"},
    {"Code - OSS", "Code - OSS"},
    {"Code - Insiders", "Visual Studio Code Insiders"},
    {"VSCodium", "VSCodium"},
    {"discord", "Discord"},
    {"discordcanary", "Discord Canary"},
    {"discordptb", "Discord PTB"},
    {"Slack", "Slack"},
    {"Signal", "Signal"},
    {"obsidian", "Obsidian"},
    {"Element", "Element"},
    {"teams-for-linux", "Teams for Linux"},
    {"Mattermost", "Mattermost"},
    {"Bitwarden", "Bitwarden"},
    {"joplin-desktop", "Joplin"},
    {"WhatsApp", "WhatsApp"},
    {"Postman", "Postman"},
    {"Typora", "Typora"},
    {"GitHub Desktop", "GitHub Desktop"},
};

// Web browsers built on Qt WebEngine, by their application folder; other Qt WebEngine programs are apps.
constexpr KnownName kWebEngineBrowsers[] = {
    {"falkon", "Falkon"},
    {"konqueror", "Konqueror"},
    {"otter-browser", "Otter Browser"},
    {"angelfish", "Angelfish"},
};

// Firefox and the programs built from its source: where each keeps its profiles (profiles.ini) below the
// home, and its caches below the cache home, one folder per profile or per profile's Path=.
struct FirefoxFamily
{
    const char* name;
    const char* profileRoot; // relative to the home
    const char* cacheRoot;   // relative to the cache home
};

constexpr FirefoxFamily kFirefoxFamily[] = {
    {"Firefox", ".mozilla/firefox", "mozilla/firefox"},
    {"LibreWolf", ".librewolf", "librewolf"},
    {"Waterfox", ".waterfox", "waterfox"},
    {"Floorp", ".floorp", "floorp"},
    {"Zen", ".zen", "zen"},
    {"Mullvad Browser", ".mullvad/mullvadbrowser", "mullvad/mullvadbrowser"},
    {"Thunderbird", ".thunderbird", "thunderbird"},
};

// Programs built on CEF or Qt WebEngine that keep a Chromium cache in a place of their own.
struct OwnPlace
{
    const char* name;
    bool inCacheHome; // else below the home
    const char* folder;
    bool app;
};

constexpr OwnPlace kOwnPlaces[] = {
    {"Steam", false, ".local/share/Steam/config/htmlcache", true},
    {"Steam", false, ".steam/steam/config/htmlcache", true},
    {"Spotify", true, "spotify/Browser", true},
    {"qutebrowser", true, "qutebrowser/webengine", false},
};

// A browser's Local State is some KB; anything this large is not one.
constexpr qint64 kMaxLocalStateBytes = 16 * 1024 * 1024;
// Profiles named in a Local State that are looked at: a user has a handful.
constexpr int kMaxLocalStateProfiles = 256;

template <std::size_t N>
QString knownName(const KnownName (&table)[N], const QString& folder)
{
    for (const KnownName& known : table) {
        if (folder == QLatin1String(known.folder))
            return QString::fromLatin1(known.name);
    }
    return {};
}

// The profile folders a Chromium-family browser's Local State lists (profile.info_cache), each with the
// name the user gave it; empty when there is none.
QList<QPair<QString, QString>> localStateProfiles(const QString& userData)
{
    QList<QPair<QString, QString>> profiles;
    QFile file(pathIn(userData, QStringLiteral("Local State")));
    if (file.size() > kMaxLocalStateBytes || !file.open(QIODevice::ReadOnly))
        return profiles;
    const QJsonObject infoCache = QJsonDocument::fromJson(file.read(kMaxLocalStateBytes))
                                      .object()
                                      .value(QLatin1String("profile"))
                                      .toObject()
                                      .value(QLatin1String("info_cache"))
                                      .toObject();
    for (auto it = infoCache.begin(); it != infoCache.end() && profiles.size() < kMaxLocalStateProfiles; ++it) {
        // A folder name, never a path: the browser makes them itself.
        if (it.key().isEmpty() || it.key().contains(QLatin1Char('/')) || it.key().startsWith(QLatin1Char('.')))
            continue;
        profiles << qMakePair(it.key(), it.value().toObject().value(QLatin1String("name")).toString());
    }
    return profiles;
}

// A Firefox profile folder as its name shows it: "x1y2z3.default-release" is "default-release".
QString firefoxProfileName(const QString& folder)
{
    const qsizetype dot = folder.indexOf(QLatin1Char('.'));
    return dot > 0 && dot + 1 < folder.size() ? folder.mid(dot + 1) : folder;
}

// The folder names of `path` from the end: 0 is the last.
QString component(const QString& path, int fromEnd)
{
    const QStringList parts = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    return fromEnd < parts.size() ? parts.at(parts.size() - 1 - fromEnd) : QString();
}

// The program a WebKitGTK cache belongs to, by its folder in the cache home (<program>/WebKitCache).
QString webKitProgramName(const QString& programFolder)
{
    return programFolder == QLatin1String("epiphany") ? QStringLiteral("GNOME Web") : programFolder;
}

// Program and profile of a cache folder the user named, as far as its path tells them.
void guessNames(CacheLocation& location)
{
    const QString& folder = location.folder;
    if (location.kind == CacheLocation::Kind::WebKit) {
        const QString program = webKitProgramName(component(folder, 1));
        const bool flatpak = folder.contains(QLatin1String("/.var/app/"));
        location.program = flatpak ? program + QStringLiteral(" (Flatpak)") : program;
        location.app = program != QLatin1String("GNOME Web");
        return;
    }
    if (location.kind == CacheLocation::Kind::IndexDat) {
        location.program = QStringLiteral("Internet Explorer");
        location.profile = component(folder, 0);
        return;
    }
    if (component(folder, 0) == QLatin1String("cache2")) {
        location.program =
            folder.contains(QLatin1String("/thunderbird/")) ? QStringLiteral("Thunderbird") : QStringLiteral("Firefox");
        location.profile = firefoxProfileName(component(folder, 1));
        return;
    }
    if (const qsizetype engine = folder.indexOf(QLatin1String("/QtWebEngine/")); engine >= 0) {
        location.program = component(folder.left(engine), 0);
        location.profile =
            component(folder.mid(engine + 1), component(folder, 0) == QLatin1String("Cache_Data") ? 2 : 1);
        location.app = true;
        return;
    }
    // Chromium family: <browser>/<profile>/Cache[/Cache_Data], <browser>/<profile>/Service Worker/CacheStorage,
    // <browser>/<profile>/WebStorage
    int profileAt = 1;
    if (component(folder, 0) == QLatin1String("Cache_Data") || component(folder, 0) == QLatin1String("CacheStorage"))
        profileAt = 2;
    const QString browser = component(folder, profileAt + 1);
    const QString known = knownName(kChromiumBrowsers, browser);
    const QString vendor = component(folder, profileAt + 2);
    location.program = !known.isEmpty()                           ? known
                       : vendor == QLatin1String("BraveSoftware") ? QStringLiteral("Brave")
                                                                  : browser;
    location.profile = component(folder, profileAt);
}

// The places one installation of programs keeps its files in: the user's own, or a Snap's or Flatpak's.
struct Place
{
    QString home;
    QString cacheHome;
    QString configHome;
    QString suffix; // after each program's name: " (Flatpak)", " (Snap)"
};

// Collects caches in a fixed order, each folder once.
class Finder
{
public:
    void addPlace(const Place& place)
    {
        addChromiumBrowsers(place);
        addFirefoxFamily(place);
        addWebEngineProfiles(place);
        addOwnPlaces(place);
        addChromiumApps(place);
        addWebKitPrograms(place);
    }

    // A Wine prefix: the old URL cache of each Windows user, and the Chromium-family profiles inside it.
    void addWinePrefix(const QString& prefix)
    {
        static constexpr KnownName browsers[] = {
            {"AppData/Local/Google/Chrome/User Data", "Google Chrome (Wine)"},
            {"AppData/Local/Microsoft/Edge/User Data", "Microsoft Edge (Wine)"},
            {"AppData/Local/Chromium/User Data", "Chromium (Wine)"},
            {"AppData/Local/BraveSoftware/Brave-Browser/User Data", "Brave (Wine)"},
        };
        const QString users = pathIn(prefix, QStringLiteral("drive_c/users"));
        for (const QString& user : subfolders(users)) {
            const QDir home(pathIn(users, user));
            for (const char* urlCache : {"AppData/Local/Microsoft/Windows/INetCache/Content.IE5",
                                         "AppData/Local/Microsoft/Windows/Temporary Internet Files/Content.IE5",
                                         "Local Settings/Temporary Internet Files/Content.IE5"})
                addFolder(home.filePath(QLatin1String(urlCache)), QStringLiteral("Internet Explorer (Wine)"), user);
            for (const KnownName& browser : browsers) {
                const QString data = home.filePath(QLatin1String(browser.folder));
                for (const QString& profile : subfolders(data)) {
                    const QString name = QString::fromLatin1(browser.name);
                    const QString shown = user + QStringLiteral(" · ") + profile;
                    addFolder(pathIn(data, profile + QStringLiteral("/Cache/Cache_Data")), name, shown);
                    addFolder(pathIn(data, profile + QStringLiteral("/Cache")), name, shown);
                }
            }
        }
    }

    QList<CacheLocation> found() const { return found_; }

private:
    void addFolder(const QString& folder, const QString& program, const QString& profile, bool app = false)
    {
        if (!QFileInfo(folder).isDir())
            return;
        CacheLocation location = CacheDetector::recognise(folder);
        if (location.kind == CacheLocation::Kind::Unknown || seen_.contains(location.folder))
            return;
        seen_.insert(location.folder);
        location.program = program;
        location.profile = profile;
        location.app = app;
        found_ << location;
    }

    // The service-worker caches of a Chromium profile (or of an app, whose user-data folder is its one
    // profile), in either layout.
    void addServiceWorkers(const QString& profileFolder, const QString& program, const QString& profile, bool app)
    {
        for (const char* root : {"Service Worker/CacheStorage", "WebStorage"})
            addFolder(pathIn(profileFolder, QLatin1String(root)), program, profile, app);
    }

    // The HTTP caches in <cache home>/<browser>/[<profile>/]Cache/Cache_Data, and the service-worker
    // caches in <configuration home>/<browser>/<profile>/, of every profile there or in Local State.
    void addChromiumBrowsers(const Place& place)
    {
        for (const QString& browser : chromiumBrowserFolders(place)) {
            const QString known = knownName(kChromiumBrowsers, browser);
            const QString name = (known.isEmpty() ? QFileInfo(browser).fileName() : known) + place.suffix;
            const QString cache = pathIn(place.cacheHome, browser);
            const QString userData = pathIn(place.configHome, browser);
            QHash<QString, QString> shownNames;
            QStringList profiles;
            for (const auto& [folder, shown] : localStateProfiles(userData)) {
                profiles << folder;
                if (!shown.isEmpty() && shown != folder)
                    shownNames.insert(folder, folder + QStringLiteral(" (") + shown + QLatin1Char(')'));
            }
            for (const QString& folder : subfolders(cache) + subfolders(userData)) {
                if (!profiles.contains(folder))
                    profiles << folder;
            }
            std::sort(profiles.begin(), profiles.end());
            addFolder(pathIn(cache, QStringLiteral("Cache/Cache_Data")), name, QString());
            for (const QString& profile : profiles) {
                const QString shown = shownNames.value(profile, profile);
                addFolder(pathIn(cache, profile + QStringLiteral("/Cache/Cache_Data")), name, shown);
                addServiceWorkers(pathIn(userData, profile), name, shown, false);
            }
        }
    }

    // The folders of Chromium-family browsers in the cache or configuration home, relative to it: those
    // named in the table, and the other channels and editions of the families it names.
    static QStringList chromiumBrowserFolders(const Place& place)
    {
        static const QRegularExpression family(
            QStringLiteral("^(chromium|google-chrome|microsoft-edge|vivaldi|opera|yandex-browser)(-.*)?$"));
        QStringList folders;
        QStringList brave;
        for (const QString& home : {place.cacheHome, place.configHome}) {
            for (const QString& name : subfolders(home)) {
                if (family.match(name).hasMatch())
                    folders << name;
            }
            for (const QString& name : subfolders(pathIn(home, QStringLiteral("BraveSoftware"))))
                brave << QStringLiteral("BraveSoftware/") + name;
        }
        // Brave's vendor folder after the others, in the order the browsers were always found in.
        for (QStringList* list : {&folders, &brave}) {
            std::sort(list->begin(), list->end());
            list->erase(std::unique(list->begin(), list->end()), list->end());
        }
        return folders + brave;
    }

    // The caches of Firefox-family profiles: each profile that profiles.ini lists, with its Path= relative
    // to the profile root (its cache then lies at the same path below the cache root) or absolute (its
    // cache lies inside it), then every other <cache root>/<profile>/cache2 one or two folders deep.
    void addFirefoxFamily(const Place& place)
    {
        for (const FirefoxFamily& family : kFirefoxFamily) {
            const QString name = QString::fromLatin1(family.name) + place.suffix;
            const QString cacheRoot = pathIn(place.cacheHome, QLatin1String(family.cacheRoot));
            addFirefoxProfilesIni(pathIn(place.home, QLatin1String(family.profileRoot)), cacheRoot, name);
            // Firefox 147 and later keep new profiles in the configuration home.
            if (QLatin1String(family.cacheRoot) == QLatin1String("mozilla/firefox"))
                addFirefoxProfilesIni(pathIn(place.configHome, QLatin1String(family.cacheRoot)), cacheRoot, name);
            for (const QString& first : subfolders(cacheRoot)) {
                const QString level1 = pathIn(cacheRoot, first);
                addFolder(pathIn(level1, QStringLiteral("cache2")), name, firefoxProfileName(first));
                for (const QString& second : subfolders(level1))
                    addFolder(pathIn(level1, second + QStringLiteral("/cache2")), name, firefoxProfileName(second));
            }
        }
    }

    void addFirefoxProfilesIni(const QString& profileRoot, const QString& cacheRoot, const QString& program)
    {
        const QString iniPath = pathIn(profileRoot, QStringLiteral("profiles.ini"));
        if (!QFileInfo(iniPath).isFile())
            return;
        const IniFile ini(iniPath);
        for (const QString& section : ini.sectionNames()) {
            if (!section.startsWith(QLatin1String("Profile"), Qt::CaseInsensitive))
                continue;
            const QString path = ini.readString(section, QStringLiteral("Path"), QString());
            if (path.isEmpty())
                continue;
            const bool relative = ini.readBool(section, QStringLiteral("IsRelative"), true);
            const QString profileFolder = relative ? pathIn(profileRoot, path) : path;
            QString shown = ini.readString(section, QStringLiteral("Name"), QString());
            if (shown.isEmpty())
                shown = firefoxProfileName(QFileInfo(profileFolder).fileName());
            if (relative && !path.contains(QLatin1String("..")))
                addFolder(pathIn(cacheRoot, path + QStringLiteral("/cache2")), program, shown);
            addFolder(pathIn(profileFolder, QStringLiteral("cache2")), program, shown);
        }
    }

    // Qt WebEngine keeps its profiles in <cache home>/[<organisation>/]<application>/QtWebEngine.
    void addWebEngineProfiles(const Place& place)
    {
        for (const QString& first : subfolders(place.cacheHome)) {
            const QString level1 = pathIn(place.cacheHome, first);
            addWebEngineProfiles(pathIn(level1, QStringLiteral("QtWebEngine")), first, place.suffix);
            for (const QString& second : subfolders(level1))
                addWebEngineProfiles(pathIn(level1, second + QStringLiteral("/QtWebEngine")), second, place.suffix);
        }
    }

    void addWebEngineProfiles(const QString& webEngine, const QString& application, const QString& suffix)
    {
        const QString known = knownName(kWebEngineBrowsers, application);
        const QString program = (known.isEmpty() ? application : known) + suffix;
        for (const QString& profile : subfolders(webEngine)) {
            const QString folder = pathIn(webEngine, profile);
            for (const char* cache : {"Cache/Cache_Data", "Cache_Data", "Cache"})
                addFolder(pathIn(folder, QLatin1String(cache)), program, profile, known.isEmpty());
        }
    }

    void addOwnPlaces(const Place& place)
    {
        for (const OwnPlace& own : kOwnPlaces) {
            const QString folder = pathIn(own.inCacheHome ? place.cacheHome : place.home, QLatin1String(own.folder));
            addFolder(folder, QString::fromLatin1(own.name) + place.suffix, QString(), own.app);
        }
    }

    // Apps built on Chromium keep their user data, HTTP cache included, in <configuration home>/<app>.
    // Found by what they hold rather than by name, so that apps this program has never heard of count too.
    void addChromiumApps(const Place& place)
    {
        const QStringList browsers = chromiumBrowserFolders(place);
        for (const QString& folder : subfolders(place.configHome)) {
            if (browsers.contains(folder) || folder == QLatin1String("BraveSoftware"))
                continue;
            const QString userData = pathIn(place.configHome, folder);
            const QString known = knownName(kChromiumApps, folder);
            const QString name = (known.isEmpty() ? folder : known) + place.suffix;
            const QString cache = pathIn(userData, QStringLiteral("Cache/Cache_Data"));
            if (kindOf(cache) == CacheLocation::Kind::ChromiumSimple)
                addFolder(cache, name, QString(), true);
            addServiceWorkers(userData, name, QString(), true);
        }
    }

    // WebKitGTK programs keep their network cache in <cache home>/<program>/WebKitCache: GNOME Web as
    // "epiphany", and mail, help and other readers built on WebKitGTK as themselves.
    void addWebKitPrograms(const Place& place)
    {
        for (const QString& folder : subfolders(place.cacheHome)) {
            const QString name = webKitProgramName(folder);
            addFolder(pathIn(place.cacheHome, folder + QStringLiteral("/WebKitCache")), name + place.suffix, QString(),
                      name != QLatin1String("GNOME Web"));
        }
    }

    QList<CacheLocation> found_;
    QSet<QString> seen_;
};

} // namespace

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
    finder.addPlace({homes.home, homes.cacheHome, homes.configHome, QString()});
    // Snap packages keep a home of their own per revision (current) and one shared by all (common), where
    // Chromium keeps its user data in the folder itself rather than in .config; Flatpak gives each
    // application its own cache and configuration homes.
    const QString snaps = pathIn(homes.home, QStringLiteral("snap"));
    const QString snapSuffix = QStringLiteral(" (Snap)");
    for (const QString& snap : subfolders(snaps)) {
        const QString current = pathIn(snaps, snap + QStringLiteral("/current"));
        const QString common = pathIn(snaps, snap + QStringLiteral("/common"));
        const QString commonCache = pathIn(common, QStringLiteral(".cache"));
        finder.addPlace({current, pathIn(current, QStringLiteral(".cache")), pathIn(current, QStringLiteral(".config")),
                         snapSuffix});
        finder.addPlace({common, commonCache, pathIn(common, QStringLiteral(".config")), snapSuffix});
        finder.addPlace({common, commonCache, common, snapSuffix});
    }
    const QString flatpaks = pathIn(homes.home, QStringLiteral(".var/app"));
    for (const QString& app : subfolders(flatpaks)) {
        const QString home = pathIn(flatpaks, app);
        finder.addPlace({home, pathIn(home, QStringLiteral("cache")), pathIn(home, QStringLiteral("config")),
                         QStringLiteral(" (Flatpak)")});
    }
    // Wine keeps a Windows user's files in a prefix: ~/.wine, or one of many kept by Wine front ends.
    finder.addWinePrefix(pathIn(homes.home, QStringLiteral(".wine")));
    for (const char* prefixes :
         {".local/share/wineprefixes", ".PlayOnLinux/wineprefix", ".local/share/bottles/bottles"}) {
        const QString folder = pathIn(homes.home, QLatin1String(prefixes));
        for (const QString& prefix : subfolders(folder))
            finder.addWinePrefix(pathIn(folder, prefix));
    }
    return finder.found();
}

CacheLocation CacheDetector::recognise(const QString& folder)
{
    const QString clean = QDir::cleanPath(QDir(folder).absolutePath());
    // A cache that can be read wins over an unreadable folder beside it, as in a profile folder.
    CacheLocation unreadable;
    unreadable.folder = clean;
    for (const char* inside : {"", "Cache/Cache_Data", "Cache_Data", "cache2", "Cache", "Content.IE5", "WebKitCache"}) {
        const QString candidate = *inside ? QDir(clean).filePath(QLatin1String(inside)) : clean;
        const CacheLocation::Kind kind = kindOf(candidate);
        if (kind == CacheLocation::Kind::NoPermission) {
            if (unreadable.kind == CacheLocation::Kind::Unknown) {
                unreadable.kind = kind;
                unreadable.folder = candidate;
            }
            // Nothing inside a folder that cannot be listed can be looked at.
            if (candidate == clean)
                break;
        } else if (kind != CacheLocation::Kind::Unknown) {
            CacheLocation location;
            location.kind = kind;
            location.folder = candidate;
            guessNames(location);
            return location;
        }
    }
    return unreadable;
}

namespace
{

const QString kUsesSection = QStringLiteral("cache kinds");
const QString kBrowsersKey = QStringLiteral("browsers");
const QString kAppsKey = QStringLiteral("apps");
const QString kServiceWorkersKey = QStringLiteral("service workers");

} // namespace

CacheDetector::Uses CacheDetector::Uses::fromIni(const QString& iniFile)
{
    Uses uses;
    if (!QFileInfo(iniFile).isFile())
        return uses;
    const IniFile ini(iniFile);
    uses.browsers = ini.readBool(kUsesSection, kBrowsersKey, uses.browsers);
    uses.apps = ini.readBool(kUsesSection, kAppsKey, uses.apps);
    uses.serviceWorkers = ini.readBool(kUsesSection, kServiceWorkersKey, uses.serviceWorkers);
    return uses;
}

void CacheDetector::Uses::writeTo(IniFile& ini) const
{
    ini.update([&] {
        ini.writeBool(kUsesSection, kBrowsersKey, browsers);
        ini.writeBool(kUsesSection, kAppsKey, apps);
        ini.writeBool(kUsesSection, kServiceWorkersKey, serviceWorkers);
    });
}

bool CacheDetector::Uses::includes(const CacheLocation& location) const
{
    // An app's service-worker caches are the app's: both kinds must be in use.
    if (location.kind == CacheLocation::Kind::ChromiumCacheStorage && !serviceWorkers)
        return false;
    return location.app ? apps : browsers;
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
    if (configured.isEmpty()) {
        const Uses uses = Uses::fromIni(iniFile);
        QList<CacheLocation> used;
        for (const CacheLocation& location : detect(homes)) {
            if (uses.includes(location))
                used << location;
        }
        return used;
    }
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
    case CacheLocation::Kind::WebKit:
        return std::make_unique<WebKitCache>(location.folder);
    case CacheLocation::Kind::ChromiumCacheStorage:
        return CacheStorageRoot::open(location.folder);
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
