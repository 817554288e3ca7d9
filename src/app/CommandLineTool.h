#pragma once

#include "app/FileLocations.h"
#include "engine/cache/CacheDetector.h"
#include "engine/run/tScanBuf.h"

#include <QStringList>
#include <QTextStream>
#include <optional>

// webgleaner-cli: the engine without the windows, for scripts.
//
//   webgleaner-cli sources [--cache DIR]...   the caches in use: kind, folder, entry count
//   webgleaner-cli list [--cache DIR]...      one line per entry: URL, local file name, size,
//                                             last access, cache folder (tab-separated)
//   webgleaner-cli run --plans FILE [--plan NAME]... [--cache DIR]... [--warc FILE] [--wacz FILE]
//                      [--dry-run] [--quiet]
//                                             runs the named plans (all, in file order, when none is
//                                             named) as one harvest run, prints its result rows and
//                                             saves the matches into the plans' folders (not with
//                                             --dry-run); it returns once everything is saved.
//                                             --warc/--wacz also write what it saves as a web
//                                             archive and a replayable package, in place at the end
//   webgleaner-cli watch [--plans FILE] [--plan NAME]... [--cache DIR]... [--quiet]
//                                             keeps: saves each entry that matches a plan as soon as the
//                                             browser has written it, as run saves, until SIGINT or
//                                             SIGTERM, which end it normally (exit 0). Without --plans,
//                                             the window's plan file
//   webgleaner-cli --help | --version
//
// Without --cache the caches are those listed in webgleaner.ini in the configuration folder, else
// every cache found in the user's folders; each found that this user may not read gets a line on
// stderr, and finding none at all is said there too. While a run goes on, a progress line is kept on
// the error stream when that is a terminal, unless --quiet.
class CommandLineTool
{
public:
    // Which of the two streams are terminals.
    struct Terminals
    {
        bool out;
        bool err;
    };

    CommandLineTool(FileLocations files, CacheDetector::Homes homes, QTextStream& out, QTextStream& err,
                    Terminals terminals = {});
    // Everything in `programFolder`, neither stream a terminal: for tests and tools that run it in-process.
    CommandLineTool(const QString& programFolder, CacheDetector::Homes homes, QTextStream& out, QTextStream& err);

    // The exit code: 0, or 2 for bad arguments and unreadable caches (see --help for the rest).
    int run(const QStringList& arguments);

private:
    struct Options
    {
        QString command;
        QStringList cacheFolders;
        QString planFile;
        QStringList planNames;
        QString warcFile;    // where the run's web archive goes; empty for none
        QString waczFile;    // where its replayable package goes; empty for none
        bool dryRun = false; // list the matches without saving them
        bool quiet = false;  // no progress line
    };

    int usageError(const QString& message);
    std::optional<Options> parse(const QStringList& arguments);
    // The caches named by `folders`, else those the program uses; a cache found that this user may not
    // read is told about on the error stream and left out. `error` says why a named folder is refused.
    QList<CacheLocation> cachesToUse(const QStringList& folders, QString* error);
    // Says on the error stream that no cache was found, when `locations` is empty.
    void tellWhenNoCache(const QList<CacheLocation>& locations);
    int listSources(const QList<CacheLocation>& locations);
    int listEntries(const QList<CacheLocation>& locations);
    // The plans named by `options` from their plan file; told on the error stream when there are none.
    std::optional<tScanBuf::RunPlanList> plansToRun(const Options& options);
    int runPlans(const Options& options, const QList<CacheLocation>& locations);
    int keepPlans(const Options& options, const QList<CacheLocation>& locations);

    const FileLocations files_;
    const CacheDetector::Homes homes_;
    QTextStream& out_;
    QTextStream& err_;
    const Terminals terminals_;
};
