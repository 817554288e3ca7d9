#include "cleanup/CleanupCommands.h"

#include "cleanup/TFrmDelete.h"
#include "util/Prompt.h"
#include "util/UrlHistory.h"

#include <QDir>
#include <memory>

const QString CleanupCommands::kClearHistoryQuestion = QStringLiteral("确实要清除IE历史记录吗？");
const QString CleanupCommands::kClearTemporaryFilesQuestion = QStringLiteral("确实要清除上网临时文件吗？");

void CleanupCommands::clearHistory(QWidget* parent, const QString& programFolder, const CacheDetector::Homes& homes)
{
    if (!Prompt::ask(parent, kClearHistoryQuestion))
        return;
    const QList<CacheLocation> caches =
        CacheDetector::programCaches(QDir(programFolder).filePath(QStringLiteral("webgleaner.ini")), homes);
    UrlHistory::ClearUrlHistory(UrlHistory::profileFolders(caches, homes));
}

void CleanupCommands::clearTemporaryFiles(QWidget* parent, UrlCache& cache)
{
    if (!Prompt::ask(parent, kClearTemporaryFilesQuestion))
        return;
    std::unique_ptr<TFrmDelete> created;
    TFrmDelete* dialog = TFrmDelete::current();
    if (dialog == nullptr) {
        created = std::make_unique<TFrmDelete>(cache, parent);
        dialog = created.get();
    }
    dialog->exec();
}
