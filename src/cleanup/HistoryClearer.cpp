#include "cleanup/HistoryClearer.h"

#include "util/UrlHistory.h"

#include <exception>

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

void HistoryClearer::Execute()
{
    QStringList failures;
    // What throws (out of memory, say) is one more failure to report: the report must come, or the
    // window would wait for it for ever.
    try {
        failures =
            UrlHistory::clearStores(UrlHistory::profileFolders(CacheDetector::programCaches(iniFile_, homes_), homes_));
    } catch (const std::exception& error) {
        failures << QStringLiteral("历史记录未清除：%1").arg(QString::fromLocal8Bit(error.what()));
    } catch (...) {
        failures << QStringLiteral("历史记录未清除：未知错误");
    }
    if (finished_)
        finished_(failures);
}
