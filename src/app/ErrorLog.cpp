#include "app/ErrorLog.h"

#include "util/DateText.h"

#include <QDir>
#include <QFile>
#include <cstdio>
#include <exception>
#include <stdexcept>

const QString ErrorLog::kFileName = QStringLiteral("error.log");

ErrorLog::ErrorLog(const QString& programFolder, QLocale locale, Clock clock)
    : path_(QDir(programFolder).filePath(kFileName)), locale_(std::move(locale)), clock_(std::move(clock))
{}

void ErrorLog::AppException(const QString& message) const noexcept
{
    QByteArray line;
    try {
        const std::lock_guard lock(mutex_);
        line = entryLine(clock_(), message, locale_).toUtf8();
        sysLog(path_, QString::fromUtf8(line));
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "webgleaner: %s\nwebgleaner: %s\n", line.constData(), failure.what());
    } catch (...) {
        std::fprintf(stderr, "webgleaner: %s\n", line.constData());
    }
}

QString ErrorLog::entryLine(const QDateTime& local, const QString& message, const QLocale& locale)
{
    return DateText::timeStamp(local, locale) + QLatin1Char(':') + message;
}

void ErrorLog::sysLog(const QString& fileName, const QString& text)
{
    QFile file(fileName);
    const QByteArray entry = text.toUtf8() + "\r\n";
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append) || file.write(entry) != entry.size() || !file.flush()) {
        throw std::runtime_error(
            QStringLiteral("无法写入日志 %1：%2").arg(fileName, file.errorString()).toUtf8().toStdString());
    }
}
