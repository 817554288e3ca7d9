#include "app/CommandLineTool.h"

#include "engine/CopyQueue.h"
#include "engine/ScanObserver.h"
#include "engine/cache/ExtractionFolder.h"
#include "engine/cache/UrlCache.h"
#include "engine/tScanBuf.h"
#include "engine/thCpy.h"
#include "plans/PlanFile.h"

#include <QDir>
#include <QFileInfo>

namespace
{

const QString kUsage = QStringLiteral("用法：webgleaner-cli sources|list [--cache 文件夹]... | run --plans 方案文件 "
                                      "[--plan 方案名]... [--cache 文件夹]... "
                                      "[--dry-run]");

// Prints the rows of a run as the results list shows them, and counts them.
class RowPrinter : public ScanObserver
{
public:
    explicit RowPrinter(QTextStream& out) : out_(out) {}

    void hintText(const QString& text) override
    {
        if (text != tScanBuf::kSearchingText)
            out_ << text << '\n';
    }
    void resultRow(const ResultRow& row) override
    {
        out_ << row.url << '\t' << row.accessDate << '\t' << row.size << '\t' << row.planName << '\n';
    }
    void runEnded() override { out_.flush(); }

private:
    QTextStream& out_;
};

} // namespace

CommandLineTool::CommandLineTool(QString programFolder, CacheDetector::Homes homes, QTextStream& out, QTextStream& err)
    : programFolder_(std::move(programFolder)), homes_(std::move(homes)), out_(out), err_(err)
{}

int CommandLineTool::usageError(const QString& message)
{
    err_ << "webgleaner-cli: " << message << '\n';
    err_.flush();
    return 2;
}

std::optional<CommandLineTool::Options> CommandLineTool::parse(const QStringList& arguments)
{
    Options options;
    if (arguments.isEmpty()) {
        usageError(kUsage);
        return std::nullopt;
    }
    options.command = arguments.first();
    if (options.command != QLatin1String("sources") && options.command != QLatin1String("list") &&
        options.command != QLatin1String("run")) {
        usageError(QStringLiteral("未知命令“%1”。%2").arg(options.command, kUsage));
        return std::nullopt;
    }
    const bool running = options.command == QLatin1String("run");
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& option = arguments[i];
        if (running && option == QLatin1String("--dry-run")) {
            options.dryRun = true;
            continue;
        }
        const bool takesValue = option == QLatin1String("--cache") ||
                                (running && (option == QLatin1String("--plans") || option == QLatin1String("--plan")));
        if (!takesValue) {
            usageError(QStringLiteral("未知选项“%1”。%2").arg(option, kUsage));
            return std::nullopt;
        }
        if (i + 1 >= arguments.size()) {
            usageError(QStringLiteral("%1 后面缺少参数").arg(option));
            return std::nullopt;
        }
        const QString& value = arguments[++i];
        if (option == QLatin1String("--cache"))
            options.cacheFolders << value;
        else if (option == QLatin1String("--plan"))
            options.planNames << value;
        else
            options.planFile = value;
    }
    if (running && options.planFile.isEmpty()) {
        usageError(QStringLiteral("run 需要 --plans 方案文件"));
        return std::nullopt;
    }
    return options;
}

QList<CacheLocation> CommandLineTool::cachesToUse(const QStringList& folders, QString* error) const
{
    if (folders.isEmpty())
        return CacheDetector::programCaches(QDir(programFolder_).filePath(QStringLiteral("webgleaner.ini")), homes_);
    QList<CacheLocation> locations;
    for (const QString& folder : folders) {
        const QFileInfo info(folder);
        if (!info.isDir() || !info.isReadable()) {
            *error = QStringLiteral("无法读取缓存文件夹“%1”").arg(folder);
            return {};
        }
        const CacheLocation location = CacheDetector::recognise(folder);
        if (location.kind == CacheLocation::Kind::Unknown) {
            *error = QStringLiteral("“%1”不是可识别的浏览器缓存").arg(folder);
            return {};
        }
        locations << location;
    }
    return locations;
}

int CommandLineTool::run(const QStringList& arguments)
{
    if (!arguments.isEmpty() &&
        (arguments.first() == QLatin1String("--help") || arguments.first() == QLatin1String("-h"))) {
        out_ << kUsage << '\n';
        out_.flush();
        return 0;
    }
    const std::optional<Options> options = parse(arguments);
    if (!options)
        return 2;
    QString error;
    const QList<CacheLocation> locations = cachesToUse(options->cacheFolders, &error);
    if (!error.isEmpty())
        return usageError(error);
    if (options->command == QLatin1String("sources"))
        return listSources(locations);
    if (options->command == QLatin1String("list"))
        return listEntries(locations);
    return runPlans(*options, locations);
}

int CommandLineTool::listSources(const QList<CacheLocation>& locations)
{
    ExtractionFolder extraction;
    for (const CacheLocation& location : locations) {
        out_ << CacheLocation::kindName(location.kind) << '\t' << location.folder << '\t';
        const std::unique_ptr<UrlCache> cache = CacheDetector::open(location, extraction);
        if (!cache) {
            out_ << "-\n";
            continue;
        }
        qint64 count = 0;
        const std::unique_ptr<CacheEnumeration> walk = cache->enumerate();
        while (walk->next())
            ++count;
        out_ << count << '\n';
    }
    out_.flush();
    return 0;
}

int CommandLineTool::listEntries(const QList<CacheLocation>& locations)
{
    ExtractionFolder extraction;
    for (const CacheLocation& location : locations) {
        const std::unique_ptr<UrlCache> cache = CacheDetector::open(location, extraction);
        if (!cache)
            continue;
        const std::unique_ptr<CacheEnumeration> walk = cache->enumerate();
        while (const std::optional<CacheEntry> entry = walk->next()) {
            out_ << entry->url << '\t' << QFileInfo(entry->localFile).fileName() << '\t' << entry->size << '\t'
                 << entry->lastAccess.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) << '\t'
                 << entry->sourceFolder << '\n';
        }
    }
    out_.flush();
    return 0;
}

int CommandLineTool::runPlans(const Options& options, const QList<CacheLocation>& locations)
{
    if (!QFileInfo(options.planFile).isFile())
        return usageError(QStringLiteral("找不到方案文件“%1”").arg(options.planFile));
    const std::vector<StrucRec> plans = PlanFile(options.planFile).LoadCfg().plans;
    tScanBuf::RunPlanList runPlans;
    if (options.planNames.isEmpty())
        runPlans.assign(plans.begin(), plans.end());
    for (const QString& name : options.planNames) {
        const auto plan = std::find_if(plans.begin(), plans.end(), [&](const StrucRec& p) { return p.name == name; });
        if (plan == plans.end())
            return usageError(QStringLiteral("方案文件中没有名为“%1”的方案").arg(name));
        runPlans.push_back(*plan);
    }

    ExtractionFolder extraction;
    const std::unique_ptr<UrlCache> cache = CacheDetector::openAll(locations, extraction);
    CopyQueue queue;
    const std::atomic<bool> closing{false};
    RowPrinter printer(out_);
    std::unique_ptr<thCpy> worker;
    if (!options.dryRun) {
        worker = std::make_unique<thCpy>(queue, *cache, closing, std::chrono::milliseconds(0));
        worker->start();
    }
    tScanBuf scanner(*cache, queue, std::move(runPlans), closing, printer, std::chrono::milliseconds(0));
    scanner.Execute();
    if (worker) {
        worker->waitUntilIdle();
        worker->requestStop();
        worker->wait();
    }
    return 0;
}
