#include "cleanup/CleanupCommands.h"

#include "cleanup/HistoryClearer.h"
#include "cleanup/TFrmDelete.h"
#include "engine/run/CacheRefresh.h"
#include "util/GuardedApplication.h"
#include "util/Prompt.h"
#include "util/UrlHistory.h"

#include <QMetaObject>

const QString CleanupCommands::kClearHistoryQuestion = QStringLiteral("确实要清除IE历史记录吗？");
const QString CleanupCommands::kClearTemporaryFilesQuestion = QStringLiteral("确实要清除上网临时文件吗？");
const QString CleanupCommands::kClearingHistoryText = QStringLiteral("正在清除历史记录，请稍候...");
const QString CleanupCommands::kHistoryClearedText = QStringLiteral("历史记录清除完毕。");
const QString CleanupCommands::kHistoryNotClearedText = QStringLiteral("部分历史记录未能清除，原因已写入error.log。");

std::unique_ptr<BackgroundWorker> CleanupCommands::clearHistory(QWidget* parent, QObject* context,
                                                                const QString& programFolder,
                                                                std::function<void(bool cleared)> finished,
                                                                const CacheDetector::Homes& homes)
{
    if (!Prompt::ask(parent, kClearHistoryQuestion))
        return nullptr;
    auto reportOnContext = [context, finished = std::move(finished)](const QStringList& failures) {
        QMetaObject::invokeMethod(
            context,
            [failures, finished] {
                if (!failures.isEmpty())
                    GuardedApplication::reportFailure(UrlHistory::failureText(failures));
                if (finished)
                    finished(failures.isEmpty());
            },
            Qt::QueuedConnection);
    };
    auto worker =
        std::make_unique<HistoryClearer>(CacheRefresh::iniFileIn(programFolder), homes, std::move(reportOnContext));
    worker->start();
    return worker;
}

void CleanupCommands::clearTemporaryFiles(QWidget* parent, UrlCache& cache, std::function<void()> findCaches)
{
    if (!Prompt::ask(parent, kClearTemporaryFilesQuestion))
        return;
    std::unique_ptr<TFrmDelete> created;
    TFrmDelete* dialog = TFrmDelete::current();
    if (dialog == nullptr) {
        created = std::make_unique<TFrmDelete>(cache, parent, std::move(findCaches));
        dialog = created.get();
    }
    dialog->exec();
}
