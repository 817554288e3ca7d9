#pragma once

#include "util/FailureLog.h"

#include <QDateTime>
#include <QLocale>
#include <QString>
#include <functional>
#include <mutex>

// error.log in the program's folder: one entry per failure that reached the GUI thread's handler or
// that a worker thread reported, "<date> <time>:<message>" followed by CR LF. The program never reads,
// truncates or rotates it. Safe to use from several threads at once.
class ErrorLog : public FailureLog
{
public:
    using Clock = std::function<QDateTime()>;

    static const QString kFileName;

    explicit ErrorLog(const QString& programFolder, QLocale locale = QLocale(),
                      Clock clock = &QDateTime::currentDateTime);

    QString path() const { return path_; }

    // Logs one failure. Never throws: when the log cannot be written the entry goes to stderr only,
    // since this runs inside the handler of last resort.
    void AppException(const QString& message) const noexcept;

    // The same, for the engine's threads.
    void logFailure(const QString& message) noexcept override { AppException(message); }

    static QString entryLine(const QDateTime& local, const QString& message, const QLocale& locale);

    // Appends `text` and CR LF to `fileName`, creating the file; throws std::runtime_error on failure.
    static void sysLog(const QString& fileName, const QString& text);

private:
    QString path_;
    QLocale locale_;
    Clock clock_;
    // One entry at a time, so that entries from several threads never interleave.
    mutable std::mutex mutex_;
};
