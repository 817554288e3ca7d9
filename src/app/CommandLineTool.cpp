#include "app/CommandLineTool.h"

#include "app/ErrorLog.h"
#include "app/InterruptWatch.h"
#include "app/ProgramVersion.h"
#include "app/RunProgressLine.h"
#include "engine/cache/UrlCache.h"
#include "engine/keep/CacheKeeper.h"
#include "engine/keep/KeepObserver.h"
#include "engine/run/CacheRefresh.h"
#include "engine/run/CopyQueue.h"
#include "engine/run/HarvestRun.h"
#include "engine/run/ScanObserver.h"
#include "engine/run/tScanBuf.h"
#include "engine/run/thCpy.h"
#include "engine/warc/RunArchive.h"
#include "plans/PlanFile.h"
#include "util/WorkerThread.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <unistd.h>

namespace
{

// Jobs a run holds queued at most before its scan waits for the copy worker.
constexpr std::size_t kMaxQueuedJobs = 1024;

const QString kUsage =
    QStringLiteral("用法：webgleaner-cli sources|list [--cache 文件夹]... | run --plans 方案文件 "
                   "[--plan 方案名]... [--cache 文件夹]... [--warc 文件] [--wacz 文件] [--dry-run] [--quiet] | "
                   "watch [--plans 方案文件] [--plan 方案名]... [--cache 文件夹]... [--quiet]（详见 --help）");

// Every command and option, one line each.
const QString kHelp = QStringLiteral(
    "用法：webgleaner-cli 命令 [选项]...\n"
    "按回收方案从浏览器的 HTTP 缓存中回收网页和文件。\n"
    "\n"
    "命令：\n"
    "  sources               列出所用的缓存：格式、文件夹、条目数、浏览器或应用名、配置、browser 或 app\n"
    "  list                  列出每个条目：网址、文件名、大小、最后访问时间、缓存文件夹\n"
    "  run                   按方案回收一次：输出结果行，把匹配项保存到方案的文件夹\n"
    "  watch                 边浏览边回收：守候缓存，浏览器写完一个匹配的条目就保存它，直到收到 SIGINT 或 SIGTERM\n"
    "\n"
    "选项：\n"
    "  --cache 文件夹        使用此缓存文件夹（可多次给出），不用所列或找到的缓存\n"
    "  --plans 方案文件      run：读取方案的文件（plancfg.ini），必须给出；watch：不给出时用窗口所用的方案文件\n"
    "  --plan 方案名         run、watch：只用此方案（可多次给出）；不给出时用文件中的全部方案\n"
    "  --warc 文件           run：另把保存的缓存项写成网页存档（WARC 1.1，.warc.gz）\n"
    "  --wacz 文件           run：另把保存的缓存项打包成可回放、可搜索页面文字的 WACZ 文件\n"
    "  --dry-run             run：只列出匹配项，不保存\n"
    "  -q, --quiet           run、watch：错误输出是终端时也不显示进度行\n"
    "  -h, --help            显示本帮助后退出\n"
    "  --version             显示版本后退出\n"
    "\n"
    "退出状态：0 成功；1 有文件未能保存或未能写入网页存档，watch 为没有可守候的缓存；2 参数错误、缓存或方案文件"
    "无法读取；130 run 被中断。watch 收到 SIGINT 或 SIGTERM 停止即为正常结束，返回 0。\n");

// `text` as one field of a tab-separated output line: a tab, CR, LF or backslash inside it (a cache key
// may hold any of them) is written as \t, \r, \n or \\, so that each line is one row and every row has
// the same number of fields.
QString field(const QString& text)
{
    const auto special = [](QChar c) {
        return c == QLatin1Char('\t') || c == QLatin1Char('\r') || c == QLatin1Char('\n') || c == QLatin1Char('\\');
    };
    // Nearly every field has none of them; it is then printed as it is, without a copy.
    if (std::none_of(text.cbegin(), text.cend(), special))
        return text;
    QString escaped;
    escaped.reserve(text.size() + 8);
    for (const QChar c : text) {
        switch (c.unicode()) {
        case u'\t':
            escaped += QLatin1String("\\t");
            break;
        case u'\r':
            escaped += QLatin1String("\\r");
            break;
        case u'\n':
            escaped += QLatin1String("\\n");
            break;
        case u'\\':
            escaped += QLatin1String("\\\\");
            break;
        default:
            escaped += c;
        }
    }
    return escaped;
}

// Answers a signal after the first, on the signal watch's thread: straight to the file, since the stream
// belongs to the thread that harvests. One write, so that it cannot interleave with the progress line.
void tellStopping()
{
    static const QByteArray notice = QStringLiteral("webgleaner-cli: 正在停止，请稍候\n").toUtf8();
    (void)!::write(STDERR_FILENO, notice.constData(), size_t(notice.size()));
}

// One result row on the output stream, as the results list shows it.
void printRow(QTextStream& out, const ResultRow& row)
{
    out << field(row.url) << '\t' << field(row.accessDate) << '\t' << field(row.size) << '\t' << field(row.planName)
        << '\n';
}

// The error stream during a run, written by the scan (the thread that runs it) and by the copy worker's
// failures. On a terminal it keeps the progress line at the bottom: every other line written takes it
// off first, and the next report draws it again.
class RunTerminal
{
public:
    RunTerminal(QTextStream& err, bool showProgress, bool outIsTerminal)
        : err_(err), showProgress_(showProgress), outIsTerminal_(outIsTerminal)
    {
        sinceStart_.start();
    }

    void writeLine(const QString& text)
    {
        const std::lock_guard lock(mutex_);
        progress_.clear();
        err_ << text << '\n';
        err_.flush();
    }
    // Before a line goes to the output stream, which may share the terminal.
    void beforeOutput()
    {
        if (!showProgress_ || !outIsTerminal_)
            return;
        const std::lock_guard lock(mutex_);
        progress_.clear();
    }
    // `force` draws even right after the last drawing; reports in between are dropped, since a terminal
    // shows no more than a few a second.
    void report(const RunProgressLine::Counts& counts, bool force)
    {
        if (!showProgress_)
            return;
        const std::lock_guard lock(mutex_);
        const auto elapsed = std::chrono::milliseconds(sinceStart_.elapsed());
        if (!force && lastDrawn_ && elapsed - *lastDrawn_ < kDrawInterval)
            return;
        progress_.draw(counts, elapsed);
        lastDrawn_ = elapsed;
    }
    // Keeping's line, drawn as it comes: its reports are few.
    void report(const KeepTotals& totals)
    {
        if (!showProgress_)
            return;
        const std::lock_guard lock(mutex_);
        progress_.draw(RunProgressLine::keepingText(totals, std::chrono::milliseconds(sinceStart_.elapsed())));
    }
    bool outIsTerminal() const { return outIsTerminal_; }
    void endProgress()
    {
        const std::lock_guard lock(mutex_);
        progress_.clear();
    }

private:
    static constexpr std::chrono::milliseconds kDrawInterval{100};

    std::mutex mutex_;
    QTextStream& err_;
    const bool showProgress_;
    const bool outIsTerminal_;
    RunProgressLine progress_{err_};
    QElapsedTimer sinceStart_;
    std::optional<std::chrono::milliseconds> lastDrawn_;
};

// Prints the rows of a run as the results list shows them, and reports the walk's progress.
class RowPrinter : public ScanObserver
{
public:
    RowPrinter(QTextStream& out, RunTerminal& terminal, const HarvestRun& run, bool saving)
        : out_(out), terminal_(terminal), run_(run), saving_(saving)
    {}

    void hintText(const QString& text) override
    {
        if (text == tScanBuf::kSearchingText)
            return;
        terminal_.beforeOutput();
        out_ << text << '\n';
        out_.flush();
    }
    void resultRow(const ResultRow& row) override
    {
        terminal_.beforeOutput();
        printRow(out_, row);
        // A terminal shows each row as it comes; elsewhere the stream keeps its buffer.
        if (terminal_.outIsTerminal())
            out_.flush();
    }
    void scanProgress(const ScanProgress& progress) override
    {
        walked_ = progress.entriesWalked;
        total_ = progress.entriesTotal;
        matches_ = progress.matches;
        terminal_.report(counts(), true);
    }
    void runEnded() override
    {
        walkEnded_ = true;
        out_.flush();
    }

    // What the run has done so far, saving included.
    RunProgressLine::Counts counts() const
    {
        RunProgressLine::Counts counts{walked_, total_, matches_, 0, 0, walkEnded_};
        if (saving_) {
            const HarvestRun::Totals totals = run_.totals();
            counts.saved = totals.saved + totals.alreadySaved;
            counts.handled = totals.saved + totals.alreadySaved + totals.failed + totals.changed;
        } else {
            counts.handled = matches_;
        }
        return counts;
    }

private:
    QTextStream& out_;
    RunTerminal& terminal_;
    const HarvestRun& run_;
    const bool saving_;
    qint64 walked_ = 0;
    qint64 total_ = -1;
    qint64 matches_ = 0;
    bool walkEnded_ = false;
};

// The failures of a run: one line each on stderr, and in error.log as the window writes them.
class RunFailureLog : public FailureLog
{
public:
    RunFailureLog(RunTerminal& terminal, const QString& logFolder) : terminal_(terminal), errorLog_(logFolder) {}

    void logFailure(const QString& message) noexcept override
    {
        try {
            terminal_.writeLine(QStringLiteral("webgleaner-cli: ") + message);
        } catch (...) {
            // The log below still has it.
        }
        errorLog_.logFailure(message);
    }

private:
    RunTerminal& terminal_;
    ErrorLog errorLog_;
};

// Prints what keeping reports: its rows as a run prints them, everything else on the error stream. Called
// on the keeper's and the copy worker's threads; the main thread waits on it for news.
class KeepPrinter : public KeepObserver
{
public:
    KeepPrinter(QTextStream& out, RunTerminal& terminal) : out_(out), terminal_(terminal) {}

    void keepingStarted(const QStringList& kept, const QStringList& notKept) override
    {
        for (const QString& reason : notKept)
            terminal_.writeLine(QStringLiteral("webgleaner-cli: 不守候：") + reason);
        if (!kept.isEmpty())
            terminal_.writeLine(QStringLiteral("webgleaner-cli: 守候中：") + kept.join(QStringLiteral("、")));
        const std::lock_guard lock(mutex_);
        keptAny_ = !kept.isEmpty();
        // Keeping nothing is waiting for nothing.
        ended_ = ended_ || !keptAny_;
        changed_ = true;
        news_.notify_all();
    }
    void notice(const QString& text) override { terminal_.writeLine(QStringLiteral("webgleaner-cli: ") + text); }
    void resultRow(const ResultRow& row) override
    {
        terminal_.beforeOutput();
        printRow(out_, row);
        // Rows come one by one, hours apart: a journal or a pipe gets each as it comes.
        out_.flush();
    }
    void totalsChanged(const KeepTotals& totals) override { update(totals, false); }
    void keepingEnded(const KeepTotals& totals) override { update(totals, true); }

    // Wakes waitForNews now and from now on.
    void interrupt()
    {
        const std::lock_guard lock(mutex_);
        interrupted_ = true;
        news_.notify_all();
    }
    // Until the totals change, keeping ends, an interruption, or `timeout` (none when zero). True once
    // interrupted or ended.
    bool waitForNews(std::chrono::milliseconds timeout)
    {
        std::unique_lock lock(mutex_);
        const auto news = [this] { return changed_ || interrupted_ || ended_; };
        if (timeout.count() > 0)
            news_.wait_for(lock, timeout, news);
        else
            news_.wait(lock, news);
        changed_ = false;
        return interrupted_ || ended_;
    }
    bool keptAny() const
    {
        const std::lock_guard lock(mutex_);
        return keptAny_;
    }
    KeepTotals totals() const
    {
        const std::lock_guard lock(mutex_);
        return totals_;
    }

private:
    void update(const KeepTotals& totals, bool ended)
    {
        const std::lock_guard lock(mutex_);
        totals_ = totals;
        changed_ = true;
        ended_ = ended_ || ended;
        news_.notify_all();
    }

    QTextStream& out_;
    RunTerminal& terminal_;
    mutable std::mutex mutex_;
    std::condition_variable news_;
    KeepTotals totals_;
    bool keptAny_ = false;
    bool changed_ = false;
    bool interrupted_ = false;
    bool ended_ = false;
};

} // namespace

CommandLineTool::CommandLineTool(FileLocations files, CacheDetector::Homes homes, QTextStream& out, QTextStream& err,
                                 Terminals terminals)
    : files_(std::move(files)), homes_(std::move(homes)), out_(out), err_(err), terminals_(terminals)
{}

CommandLineTool::CommandLineTool(const QString& programFolder, CacheDetector::Homes homes, QTextStream& out,
                                 QTextStream& err)
    : CommandLineTool(FileLocations::allIn(programFolder), std::move(homes), out, err, {})
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
        options.command != QLatin1String("run") && options.command != QLatin1String("watch")) {
        usageError(QStringLiteral("未知命令“%1”。%2").arg(options.command, kUsage));
        return std::nullopt;
    }
    const bool running = options.command == QLatin1String("run");
    // Both harvest: run once, watch as the user browses.
    const bool harvesting = running || options.command == QLatin1String("watch");
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& option = arguments[i];
        if (running && option == QLatin1String("--dry-run")) {
            options.dryRun = true;
            continue;
        }
        if (harvesting && (option == QLatin1String("--quiet") || option == QLatin1String("-q"))) {
            options.quiet = true;
            continue;
        }
        const bool takesValue =
            option == QLatin1String("--cache") ||
            (harvesting && (option == QLatin1String("--plans") || option == QLatin1String("--plan"))) ||
            (running && (option == QLatin1String("--warc") || option == QLatin1String("--wacz")));
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
        else if (option == QLatin1String("--warc"))
            options.warcFile = value;
        else if (option == QLatin1String("--wacz"))
            options.waczFile = value;
        else
            options.planFile = value;
    }
    if (running && options.planFile.isEmpty()) {
        usageError(QStringLiteral("run 需要 --plans 方案文件"));
        return std::nullopt;
    }
    if (options.dryRun && (!options.warcFile.isEmpty() || !options.waczFile.isEmpty())) {
        usageError(QStringLiteral("--dry-run 不保存任何东西，不能与 --warc 或 --wacz 同用"));
        return std::nullopt;
    }
    return options;
}

QList<CacheLocation> CommandLineTool::cachesToUse(const QStringList& folders, QString* error)
{
    if (folders.isEmpty()) {
        // Found, not asked for: one that cannot be read is told about, and the others are used.
        QList<CacheLocation> readable;
        for (const CacheLocation& location :
             CacheDetector::programCaches(CacheRefresh::iniFileIn(files_.configFolder()), homes_)) {
            if (location.kind == CacheLocation::Kind::NoPermission)
                err_ << "webgleaner-cli: " << CacheRefresh::kNoPermissionFormat.arg(location.folder) << '\n';
            else
                readable << location;
        }
        err_.flush();
        return readable;
    }
    QList<CacheLocation> locations;
    for (const QString& folder : folders) {
        if (!QFileInfo(folder).isDir()) {
            *error = QStringLiteral("无法读取缓存文件夹“%1”").arg(folder);
            return {};
        }
        const CacheLocation location = CacheDetector::recognise(folder);
        if (location.kind == CacheLocation::Kind::NoPermission) {
            *error = CacheRefresh::kNoPermissionFormat.arg(location.folder);
            return {};
        }
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
    if (arguments.size() == 1 &&
        (arguments.first() == QLatin1String("--help") || arguments.first() == QLatin1String("-h"))) {
        out_ << kHelp;
        out_.flush();
        return 0;
    }
    if (arguments.size() == 1 && arguments.first() == QLatin1String("--version")) {
        out_ << "webgleaner-cli " << ProgramVersion::number() << '\n';
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
    if (options->command == QLatin1String("watch"))
        return keepPlans(*options, locations);
    return runPlans(*options, locations);
}

void CommandLineTool::tellWhenNoCache(const QList<CacheLocation>& locations)
{
    if (!locations.isEmpty())
        return;
    // Not an error: a user without a browser cache has nothing to harvest. Said, so that empty output is
    // not taken for empty caches.
    err_ << "webgleaner-cli: "
         << QStringLiteral("未找到可读取的浏览器缓存；可用 --cache 指定，或在 %1 的 [cache] 节中列出")
                .arg(CacheRefresh::iniFileIn(files_.configFolder()))
         << '\n';
    err_.flush();
}

int CommandLineTool::listSources(const QList<CacheLocation>& locations)
{
    tellWhenNoCache(locations);
    for (const CacheLocation& location : locations) {
        out_ << CacheLocation::kindName(location.kind) << '\t' << location.folder << '\t';
        if (const std::unique_ptr<UrlCache> cache = CacheDetector::open(location)) {
            qint64 count = 0;
            const std::unique_ptr<CacheEnumeration> walk = cache->enumerate();
            while (walk->next())
                ++count;
            out_ << count;
        } else {
            out_ << '-';
        }
        // Who keeps the cache comes after the columns scripts have always read, so that they read on.
        const auto named = [](const QString& name) { return name.isEmpty() ? QStringLiteral("-") : field(name); };
        out_ << '\t' << named(location.program) << '\t' << named(location.profile) << '\t'
             << (location.app ? "app" : "browser") << '\n';
    }
    out_.flush();
    return 0;
}

int CommandLineTool::listEntries(const QList<CacheLocation>& locations)
{
    tellWhenNoCache(locations);
    // The local time's offset, read once: converting each entry's time to local time looks the time zone
    // up each time, which costs more than reading the entry.
    const int offsetFromUtc = QDateTime::currentDateTime().offsetFromUtc();
    for (const CacheLocation& location : locations) {
        const std::unique_ptr<UrlCache> cache = CacheDetector::open(location);
        if (!cache)
            continue;
        const std::unique_ptr<CacheEnumeration> walk = cache->enumerate();
        while (const std::optional<CacheEntry> entry = walk->next()) {
            // The decoded size is counted only where the walk could not read it off the stored bytes.
            const std::optional<qint64> size = entry->knownSize();
            out_ << field(entry->url) << '\t' << field(entry->localName) << '\t';
            if (size)
                out_ << *size;
            else
                out_ << '-';
            out_ << '\t'
                 << entry->lastAccess.toOffsetFromUtc(offsetFromUtc).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))
                 << '\t' << field(entry->sourceFolder) << '\n';
        }
    }
    out_.flush();
    return 0;
}

std::optional<tScanBuf::RunPlanList> CommandLineTool::plansToRun(const Options& options)
{
    // Without --plans (watch only), the plan file the window keeps: a service started with no arguments
    // keeps what the user planned there.
    const PlanFile planFile(options.planFile.isEmpty() ? PlanFile::pathIn(files_.configFolder()) : options.planFile);
    if (const PlanFile::Status status = planFile.status(); status.state != PlanFile::State::Loaded) {
        usageError(status.message);
        return std::nullopt;
    }
    const std::vector<StrucRec> plans = planFile.LoadCfg().plans;
    tScanBuf::RunPlanList runPlans;
    if (options.planNames.isEmpty())
        runPlans.assign(plans.begin(), plans.end());
    for (const QString& name : options.planNames) {
        const auto plan = std::find_if(plans.begin(), plans.end(), [&](const StrucRec& p) { return p.name == name; });
        if (plan == plans.end()) {
            usageError(QStringLiteral("方案文件中没有名为“%1”的方案").arg(name));
            return std::nullopt;
        }
        runPlans.push_back(*plan);
    }
    return runPlans;
}

int CommandLineTool::runPlans(const Options& options, const QList<CacheLocation>& locations)
{
    std::optional<tScanBuf::RunPlanList> runPlans = plansToRun(options);
    if (!runPlans)
        return 2;
    tellWhenNoCache(locations);

    const std::unique_ptr<UrlCache> cache = CacheDetector::openAll(locations);
    CopyQueue queue;
    const std::atomic<bool> closing{false};
    std::shared_ptr<RunArchive> archive;
    if (!options.warcFile.isEmpty() || !options.waczFile.isEmpty()) {
        QStringList folders;
        for (const CacheLocation& location : locations)
            folders << location.folder;
        archive = std::make_shared<RunArchive>(RunArchive::Destination{options.warcFile, options.waczFile},
                                               "WebGleaner " + ProgramVersion::number().toUtf8(), folders);
        if (!archive->isOpen())
            return usageError(archive->errorText());
    }
    const auto run = std::make_shared<HarvestRun>(HarvestRun::Finished(), HarvestRun::kDecodingFloor, archive);
    RunTerminal terminal(err_, terminals_.err && !options.quiet, terminals_.out);
    RowPrinter printer(out_, terminal, *run, !options.dryRun);
    if (!options.dryRun)
        QDir().mkpath(files_.stateFolder()); // error.log's; failures reach stderr all the same
    RunFailureLog log(terminal, files_.stateFolder());
    std::unique_ptr<thCpy> worker;
    if (!options.dryRun) {
        worker = std::make_unique<thCpy>(queue, *cache, closing, std::chrono::milliseconds(0), &log);
        // Memory stays flat in the cache's size: the scan waits while this many jobs are not yet saved.
        queue.setCapacity(kMaxQueuedJobs);
    }
    tScanBuf scanner(*cache, queue, std::move(*runPlans), closing, printer, std::chrono::milliseconds(0), run, &log);
    scanner.setRemovesLeftovers(!options.dryRun);
    std::atomic<bool> interrupted{false};
    {
        // Before any thread of the run starts, so that they all inherit the blocked signals.
        const InterruptWatch watch(
            [&] {
                interrupted = true;
                scanner.requestStop();
                queue.stopWaiting();
                if (worker)
                    worker->requestStop();
            },
            &tellStopping);
        if (worker)
            worker->start();
        scanner.Execute();
        if (worker) {
            // Returns the moment the worker reaches the end of the run; an interruption is seen within the tick.
            while (!interrupted && !run->waitFinished(std::chrono::milliseconds(50)))
                terminal.report(printer.counts(), false);
            worker->requestStop();
            worker->wait();
        }
    }
    terminal.endProgress();
    if (!worker)
        return interrupted ? 130 : 0;
    const HarvestRun::Totals totals = run->totals();
    terminal.writeLine(HarvestRun::summaryText(totals));
    if (interrupted)
        return 130;
    return totals.failed > 0 || totals.archiveFailed > 0 || !run->archiveError().isEmpty() ? 1 : 0;
}

int CommandLineTool::keepPlans(const Options& options, const QList<CacheLocation>& locations)
{
    std::optional<tScanBuf::RunPlanList> plans = plansToRun(options);
    if (!plans)
        return 2;
    if (locations.isEmpty()) {
        tellWhenNoCache(locations);
        err_ << "webgleaner-cli: " << QStringLiteral("没有可守候的缓存") << '\n';
        err_.flush();
        return 1;
    }

    const std::unique_ptr<UrlCache> cache = CacheDetector::openAll(locations);
    CopyQueue queue;
    // Memory stays flat however much a start finds in the caches: the keeper waits while this many jobs
    // are not yet saved.
    queue.setCapacity(kMaxQueuedJobs);
    const std::atomic<bool> closing{false};
    RunTerminal terminal(err_, terminals_.err && !options.quiet, terminals_.out);
    KeepPrinter printer(out_, terminal);
    QDir().mkpath(files_.stateFolder()); // error.log's; failures reach stderr all the same
    RunFailureLog log(terminal, files_.stateFolder());
    thCpy worker(queue, *cache, closing, std::chrono::milliseconds(0), &log);
    KeepTotals totals;
    {
        // Before any thread starts, so that they all inherit the blocked signals. A signal only wakes this
        // thread, which stops the rest. A stop is keeping's ordinary end (SIGTERM from a service manager,
        // Ctrl-C): the keeper's end gives the copy worker a moment to save what was queued; then the worker
        // stops as on a run's stop, finishing the save in hand and dropping the rest, whose entries the next
        // start finds in the caches again.
        const InterruptWatch watch([&printer] { printer.interrupt(); }, &tellStopping);
        CacheKeeper keeper(*cache, std::vector<CacheLocation>(locations.cbegin(), locations.cend()), queue,
                           std::move(*plans), printer, &log);
        worker.start();
        keeper.start();
        // The line tells how long keeping has gone on: redrawn each second where it is shown; otherwise this
        // thread sleeps until the end.
        const auto redraw =
            terminals_.err && !options.quiet ? std::chrono::milliseconds(1000) : std::chrono::milliseconds(0);
        while (!printer.waitForNews(redraw))
            terminal.report(printer.totals());
        keeper.requestStop();
        // A push waiting for room would hold the keeper's thread.
        queue.stopWaiting();
        keeper.wait();
        worker.requestStop();
        worker.wait();
        totals = keeper.totals();
    }
    terminal.endProgress();
    terminal.writeLine(HarvestRun::summaryText(totals.saves));
    if (!printer.keptAny()) {
        terminal.writeLine(QStringLiteral("webgleaner-cli: 没有可守候的缓存"));
        return 1;
    }
    return 0;
}
