#include "engine/run/CacheRefresh.h"

#include "engine/cache/ProgramCache.h"
#include "engine/cache/UrlCache.h"
#include "util/FailureLog.h"

#include <QDir>

const QString CacheRefresh::kNoPermissionFormat = QStringLiteral("无法读取缓存文件夹“%1”：没有权限");

QList<CacheLocation> CacheRefresh::readableCaches(ProgramCache& cache, const QString& iniFile,
                                                  const CacheDetector::Homes& homes, FailureLog* log)
{
    QList<CacheLocation> readable;
    for (const CacheLocation& location : CacheDetector::programCaches(iniFile, homes)) {
        if (location.kind != CacheLocation::Kind::NoPermission)
            readable << location;
        else if (log != nullptr)
            log->logFailure(kNoPermissionFormat.arg(location.folder));
    }
    cache.replace(CacheDetector::openAll(readable));
    return readable;
}

QString CacheRefresh::iniFileIn(const QString& programFolder)
{
    return QDir(programFolder).filePath(QStringLiteral("webgleaner.ini"));
}
