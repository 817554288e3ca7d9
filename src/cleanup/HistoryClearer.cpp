#include "cleanup/HistoryClearer.h"

#include "util/UrlHistory.h"

#include <QDir>
#include <QFileInfo>
#include <exception>

namespace
{

bool holdsHistory(const QString& folder)
{
    return QFileInfo(QDir(folder).filePath(UrlHistory::kFirefoxDatabase)).isFile() ||
           QFileInfo(QDir(folder).filePath(UrlHistory::kChromiumDatabase)).isFile();
}

// The profile folder a cache folder belongs to, as if the profile held its cache: the cache folder
// without its trailing "Cache/Cache_Data", "Cache_Data", "Cache" or "cache2".
QString profileHoldingCache(const QString& cacheFolder)
{
    QString folder = QDir::cleanPath(cacheFolder);
    static const QStringList cacheNames = {QStringLiteral("Cache_Data"), QStringLiteral("Cache"),
                                           QStringLiteral("cache2")};
    while (cacheNames.contains(QFileInfo(folder).fileName()))
        folder = QFileInfo(folder).path();
    return folder;
}

// Where a browser's profile may be, given the folder the profile would be if it held its own cache.
QStringList profileCandidates(const QString& cacheProfile, const CacheDetector::Homes& homes)
{
    QStringList candidates{cacheProfile};
    // The cache root: the user's cache home, or the ".cache" of a snap home, or the "cache" of a flatpak.
    QString root;
    const QString cacheHome = QDir::cleanPath(homes.cacheHome);
    if (cacheProfile.startsWith(cacheHome + QLatin1Char('/'))) {
        root = cacheHome;
    } else {
        for (QString folder = QFileInfo(cacheProfile).path(); folder.size() > 1; folder = QFileInfo(folder).path()) {
            const QString name = QFileInfo(folder).fileName();
            if (name == QLatin1String(".cache") || name == QLatin1String("cache")) {
                root = folder;
                break;
            }
        }
    }
    if (root.isEmpty())
        return candidates;
    const QString relative = cacheProfile.mid(root.size() + 1);
    const QString base = root == cacheHome ? QDir::cleanPath(homes.home) : QFileInfo(root).path();
    if (root == cacheHome)
        candidates << QDir(homes.configHome).filePath(relative);
    for (const QString& configFolder :
         {QStringLiteral(".config/"), QStringLiteral("config/"), QStringLiteral("."), QString()})
        candidates << QDir(base).filePath(configFolder + relative);
    return candidates;
}

} // namespace

HistoryClearer::HistoryClearer(QString iniFile, CacheDetector::Homes homes, Finished finished, FailureLog* log)
    : iniFile_(std::move(iniFile)), homes_(std::move(homes)), finished_(std::move(finished)),
      thread_(QStringLiteral("history"), log)
{}

HistoryClearer::~HistoryClearer()
{
    requestStop();
    wait();
}

void HistoryClearer::start()
{
    thread_.start([this] { Execute(); });
}

void HistoryClearer::requestStop()
{
    thread_.requestStop();
}

void HistoryClearer::wait()
{
    thread_.wait();
}

QStringList HistoryClearer::profileFolders(const QList<CacheLocation>& caches, const CacheDetector::Homes& homes)
{
    QStringList folders;
    for (const CacheLocation& cache : caches) {
        // An app's user data may hold a history database too, but what it lists is the app's own doing,
        // not the user's browsing.
        if (cache.app)
            continue;
        for (const QString& candidate : profileCandidates(profileHoldingCache(cache.folder), homes)) {
            if (holdsHistory(candidate)) {
                if (!folders.contains(candidate))
                    folders << candidate;
                break;
            }
        }
    }
    return folders;
}

void HistoryClearer::Execute()
{
    QStringList failures;
    // What throws (out of memory, say) is one more failure to report: the report must come, or the
    // window would wait for it for ever.
    try {
        failures = UrlHistory::ClearUrlHistory(profileFolders(CacheDetector::programCaches(iniFile_, homes_), homes_));
    } catch (const std::exception& error) {
        failures << QStringLiteral("历史记录未清除：%1").arg(QString::fromLocal8Bit(error.what()));
    } catch (...) {
        failures << QStringLiteral("历史记录未清除：未知错误");
    }
    if (finished_)
        finished_(failures);
}
