#include "app/ErrorLog.h"

#include "util/DateText.h"

#include "QtPrinters.h"
#include "TestFolders.h"
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace
{

TEST(ErrorLogTest, EntryLineIsTimeStampColonMessage)
{
    const QLocale locale = QLocale::c();
    const QDate day(2026, 3, 7);
    const QString date = DateText::format(day, locale);
    EXPECT_EQ(ErrorLog::entryLine(QDateTime(day, QTime(14, 5, 9)), "Access violation", locale),
              date + " 14:05:09:Access violation");
    EXPECT_EQ(ErrorLog::entryLine(QDateTime(day, QTime(0, 0)), "midnight", locale), date + ":midnight");
}

TEST(ErrorLogTest, EntriesAreAppendedWithCrLfAcrossInstances)
{
    QTemporaryDir dir;
    QDateTime now(QDate(2026, 3, 7), QTime(14, 5, 9));
    const auto clock = [&now] { return now; };
    ErrorLog(dir.path(), QLocale::c(), clock).AppException("first");
    now = now.addSecs(1);
    ErrorLog(dir.path(), QLocale::c(), clock).AppException(QStringLiteral("第二行\nspans two lines"));

    const QString date = DateText::format(now.date(), QLocale::c());
    const QByteArray expected =
        (date + " 14:05:09:first\r\n" + date + QStringLiteral(" 14:05:10:第二行\nspans two lines\r\n")).toUtf8();
    EXPECT_EQ(fileBytes(QDir(dir.path()).filePath("error.log")), expected);
}

TEST(ErrorLogTest, AnUnwritableLogNeitherThrowsNorCreatesAnything)
{
    QTemporaryDir dir;
    ASSERT_TRUE(QDir(dir.path()).mkdir("error.log")); // taken by a folder: not writable even for root
    const ErrorLog log(dir.path());
    EXPECT_NO_THROW(log.AppException("lost"));
    EXPECT_THROW(ErrorLog::sysLog(log.path(), "lost"), std::runtime_error);
    EXPECT_TRUE(QFileInfo(log.path()).isDir());
}

} // namespace
