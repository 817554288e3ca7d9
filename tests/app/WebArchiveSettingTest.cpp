#include "app/WebArchiveSetting.h"

#include "QtPrinters.h"
#include "util/IniFile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace
{

void touch(const QString& path)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
}

TEST(WebArchiveSettingTest, KeptInTheSettingsFileBesideWhatElseItHolds)
{
    const QTemporaryDir folder;
    const QString path = QDir(folder.path()).filePath("webgleaner.ini");
    {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("[scan]\npause_ms=5\n");
    }
    EXPECT_FALSE(WebArchiveSetting::read(IniFile(path)).isOn()) << "off until chosen";

    WebArchiveSetting chosen;
    chosen.wacz = true;
    chosen.folder = folder.path();
    IniFile ini(path);
    chosen.writeTo(ini);

    const WebArchiveSetting read = WebArchiveSetting::read(IniFile(path));
    EXPECT_TRUE(read.isOn());
    EXPECT_FALSE(read.warc);
    EXPECT_TRUE(read.wacz);
    EXPECT_EQ(read.folder, folder.path());
    EXPECT_EQ(IniFile(path).readInteger("scan", "pause_ms", 0), 5);
}

TEST(WebArchiveSettingTest, EachRunGetsNamesNoOtherFileHas)
{
    const QTemporaryDir folder;
    WebArchiveSetting setting;
    setting.warc = true;
    setting.wacz = true;
    setting.folder = folder.path();
    const QDateTime start(QDate(2026, 12, 11), QTime(15, 30, 0));
    const QDir into(folder.path());

    RunArchive::Destination first = setting.destinationFor(start);
    EXPECT_EQ(first.warcPath, into.filePath("webgleaner-20261211-153000.warc.gz"));
    EXPECT_EQ(first.waczPath, into.filePath("webgleaner-20261211-153000.wacz"));

    // A second run in the same second, and a package alone left by an earlier one: neither is replaced.
    touch(first.warcPath);
    touch(into.filePath("webgleaner-20261211-153000-2.wacz"));
    const RunArchive::Destination next = setting.destinationFor(start);
    EXPECT_EQ(next.warcPath, into.filePath("webgleaner-20261211-153000-3.warc.gz"));
    EXPECT_EQ(next.waczPath, into.filePath("webgleaner-20261211-153000-3.wacz"));

    setting.wacz = false;
    EXPECT_TRUE(setting.destinationFor(start).waczPath.isEmpty());
}

} // namespace
