#include "engine/thCpy.h"

#include "QtPrinters.h"
#include "TestFolders.h"
#include "engine/CopyQueue.h"
#include "engine/cache/ExtractionFolder.h"
#include "engine/cache/SimpleCache.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <filesystem>

#include <gtest/gtest.h>
#include <thread>

namespace
{

const QString kSite = QStringLiteral("http://127.0.0.1:18431");

QStringList folderContents(const QString& folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

// The archive's resource locations, in order.
QStringList partLocations(const QByteArray& archive)
{
    QStringList locations;
    const QByteArrayList lines = archive.split('\n');
    for (qsizetype i = 1; i < lines.size(); ++i) {
        if (lines[i].startsWith("Content-Location:") && !lines[i - 1].startsWith("Content-Type: text/html;"))
            locations << QString::fromUtf8(lines[i].mid(17).chopped(1));
    }
    return locations;
}

// Harvests from a private copy of the fixture cache (chromium's, from tools/make-cache-fixtures.py), which
// the jobs' deletions may change.
class CopyWorkerTest : public ::testing::Test
{
protected:
    CopyWorkerTest()
    {
        namespace fs = std::filesystem;
        const fs::path copy = QFile::encodeName(cachePath()).toStdString();
        fs::copy(WEBGLEANER_TEST_DATA "/caches/chromium-simple/Cache_Data", copy, fs::copy_options::recursive);
        for (const fs::directory_entry& file : fs::recursive_directory_iterator(copy))
            fs::permissions(file.path(), fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::add);
    }

    QString cachePath() const { return cacheCopy_.path() + QStringLiteral("/Cache_Data"); }

    // Queues the cached entry of `path` on the fixture's site; its local file's name, for resources.
    QString push(const QString& path, const QString& folder, bool isDocument, bool deleteAfter)
    {
        const std::optional<CacheEntry> entry = cache_.lookup(kSite + path);
        EXPECT_TRUE(entry.has_value()) << path.toStdString();
        if (!entry)
            return {};
        queue_.PushCopyJob(*entry, folder, isDocument, deleteAfter);
        return QFileInfo(entry->localFile).fileName();
    }

    bool cached(const QString& path) { return cache_.lookup(kSite + path).has_value(); }

    QTemporaryDir cacheCopy_;
    QTemporaryDir save_;
    ExtractionFolder extraction_;
    SimpleCache cache_{cachePath(), extraction_};
    CopyQueue queue_;
    std::atomic<bool> closing_{false};
};

TEST_F(CopyWorkerTest, HarvestsResourcesAndDocumentsAndDeletesWhereAsked)
{
    // Documents first: the pages' pictures are still cached when their archives are made.
    push("/index.html", save_.path(), true, true);
    push("/gbk.html", save_.path(), true, false);
    push("/sub/dir/page.html", save_.path(), true, false);
    const QString logo = push("/img/logo.gif", save_.path(), false, true);
    const QString photo = push("/img/photo.jpg", save_.path(), false, false);
    EXPECT_TRUE(QRegularExpression(R"(^logo\[\d\]\.gif$)").match(logo).hasMatch()) << logo.toStdString();

    thCpy worker(queue_, cache_, closing_, std::chrono::milliseconds(0));
    worker.start();
    worker.waitUntilIdle();
    EXPECT_EQ(queue_.FirstJob(), nullptr);

    QStringList expected{logo, photo, QStringLiteral("中文测试页面 - UTF-8 编码.mht"),
                         QStringLiteral("简体中文网页（GBK编码）.mht"),
                         QStringLiteral("相对路径测试 relative references.mht")};
    expected.sort();
    EXPECT_EQ(folderContents(save_.path()), expected);

    const QByteArray logoBytes = fileBytes(save_.filePath(logo));
    EXPECT_EQ(logoBytes.size(), 487);
    EXPECT_TRUE(logoBytes.startsWith("GIF8"));
    EXPECT_EQ(QFileInfo(save_.filePath(photo)).size(), 41512);

    EXPECT_FALSE(cached("/index.html"));
    EXPECT_FALSE(cached("/img/logo.gif"));
    EXPECT_TRUE(cached("/gbk.html"));
    EXPECT_TRUE(cached("/img/photo.jpg"));

    const QByteArray archive = fileBytes(save_.filePath(QStringLiteral("相对路径测试 relative references.mht")));
    EXPECT_TRUE(archive.contains("\r\nContent-Location:" + kSite.toUtf8() + "/sub/dir/page.html\r\n"));
    EXPECT_TRUE(archive.endsWith("\r\n------=gleaner--\r\n"));
    // src= references in page order, then the linked style sheet's line's sheet (it stands above them).
    EXPECT_EQ(partLocations(archive),
              QStringList({kSite + "/css/style.css", kSite + "/sub/dir/local.js", kSite + "/sub/dir/local.png",
                           kSite + "/sub/shared.gif", kSite + "/img/logo.gif", kSite + "/img/photo.jpg",
                           kSite + "/img/icon.png"}));
    const QByteArray png = archive.mid(archive.indexOf("Content-Location:" + kSite.toUtf8() + "/sub/dir/local.png"));
    const QByteArray pngBase64 = png.mid(png.indexOf("\r\n\r\n") + 4).split('\r').first();
    EXPECT_TRUE(QByteArray::fromBase64(pngBase64).startsWith("\x89PNG"));

    const QByteArray gbkArchive = fileBytes(save_.filePath(QStringLiteral("简体中文网页（GBK编码）.mht")));
    EXPECT_TRUE(gbkArchive.contains("\xBC\xF2\xCC\xE5\xD6\xD0\xCE\xC4")); // the page's GBK bytes, unchanged
}

TEST_F(CopyWorkerTest, KeepsTheEntryWhenTheJobFails)
{
    const QString missingFolder = save_.filePath("not-made");
    push("/img/logo.gif", missingFolder, false, true);
    push("/index.html", missingFolder, true, true);
    push("/img/photo.jpg", save_.path(), false, true); // the worker goes on after failures

    thCpy worker(queue_, cache_, closing_, std::chrono::milliseconds(0));
    worker.start();
    worker.waitUntilIdle();

    EXPECT_TRUE(cached("/img/logo.gif"));
    EXPECT_TRUE(cached("/index.html"));
    EXPECT_FALSE(cached("/img/photo.jpg"));
    EXPECT_FALSE(QFileInfo::exists(missingFolder));
    EXPECT_EQ(folderContents(save_.path()).size(), 1);
}

TEST_F(CopyWorkerTest, TakesAJobPushedWhileIdle)
{
    thCpy worker(queue_, cache_, closing_, std::chrono::milliseconds(10));
    worker.start();
    std::this_thread::sleep_for(std::chrono::milliseconds(200)); // idle by now
    const QString logo = push("/img/logo.gif", save_.path(), false, false);
    // Generous: the point is that the job is taken without any further prompting.
    for (int i = 0; i < 1000 && !QFileInfo::exists(save_.filePath(logo)); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(QFileInfo::exists(save_.filePath(logo)));
}

TEST_F(CopyWorkerTest, TakesNoJobOnceClosing)
{
    push("/img/logo.gif", save_.path(), false, true);
    closing_ = true;
    thCpy worker(queue_, cache_, closing_, std::chrono::milliseconds(0));
    worker.start();
    worker.waitUntilIdle();
    worker.requestStop();
    worker.wait();
    EXPECT_NE(queue_.FirstJob(), nullptr); // dropped with the queue, never carried out
    EXPECT_EQ(folderContents(save_.path()), QStringList());
    EXPECT_TRUE(cached("/img/logo.gif"));
}

TEST_F(CopyWorkerTest, StopsOnRequest)
{
    thCpy worker(queue_, cache_, closing_, std::chrono::milliseconds(0));
    worker.start();
    worker.requestStop();
    worker.wait();
    push("/img/logo.gif", save_.path(), false, false);
    worker.waitUntilIdle(); // returns: nobody is taking jobs
    EXPECT_EQ(folderContents(save_.path()), QStringList());
}

} // namespace
