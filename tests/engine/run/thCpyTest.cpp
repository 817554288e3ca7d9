#include "engine/run/thCpy.h"

#include "FileSizeLimit.h"
#include "QtPrinters.h"
#include "TestFolders.h"
#include "engine/archive/HostilePages.h"
#include "engine/archive/HtmlTokenizer.h"
#include "engine/archive/StrictMimeReader.h"
#include "engine/cache/EntryBody.h"
#include "engine/cache/MapCache.h"
#include "engine/cache/SimpleCache.h"
#include "engine/run/CopyQueue.h"
#include "engine/run/HarvestRun.h"
#include "util/FailureLog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <filesystem>
#include <mutex>
#include <utime.h>

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
    const QList<StrictMimeReader::Part> parts = StrictMimeReader::read(archive).parts;
    for (qsizetype i = 1; i < parts.size(); ++i)
        locations << QString::fromUtf8(parts[i].header("Content-Location"));
    return locations;
}

// The base64 body of the part at `location`, decoded.
QByteArray partBody(const QByteArray& archive, const QString& location)
{
    const QByteArray part = archive.mid(archive.indexOf("Content-Location:" + location.toUtf8() + "\r\n"));
    const qsizetype start = part.indexOf("\r\n\r\n") + 4;
    // Up to the next delimiter line, which for the last part is the closing one.
    return QByteArray::fromBase64(part.mid(start, part.indexOf("\r\n--", start) - start).replace("\r\n", ""));
}

// `plain` as a zlib stream (the "deflate" coding): Qt's own compressor, less the length it puts in front.
QByteArray zlibOf(const QByteArray& plain, int level = 9)
{
    return qCompress(plain, level).sliced(4);
}

// `plain` as one gzip member that ends in `trailer` (whole, it is 8 bytes; nothing checks them any more).
// Level 0 makes stored blocks, whose every byte stands for itself.
QByteArray gzipOf(const QByteArray& plain, const QByteArray& trailer, int level = 9)
{
    return QByteArray("\x1f\x8b\x08\0\0\0\0\0\0\x03", 10) + zlibOf(plain, level).sliced(2).chopped(4) + trailer;
}

// A MapCache with bodies stored as a server coded them. Such an entry's decoded size is unknown, as a walk
// leaves it for a coded body whose size it cannot read off.
class CodedMapCache : public MapCache
{
public:
    using MapCache::MapCache;

    void addCoded(const QString& url, const QString& fileName, const QByteArray& stored, const QString& encoding,
                  const QString& contentType = {})
    {
        add(url, fileName, stored, contentType);
        const std::lock_guard lock(mutex_);
        encodings_.insert(url, encoding);
    }

    std::optional<CacheEntry> lookup(const QString& url) override
    {
        std::optional<CacheEntry> entry = MapCache::lookup(url);
        const std::lock_guard lock(mutex_);
        if (entry && encodings_.contains(url)) {
            entry->body.contentEncoding = encodings_.value(url);
            entry->size = CacheEntry::kUnknownSize;
        }
        return entry;
    }

private:
    std::mutex mutex_;
    QHash<QString, QString> encodings_;
};

class RecordingLog : public FailureLog
{
public:
    void logFailure(const QString& message) noexcept override
    {
        const std::lock_guard lock(mutex_);
        lines_ << message;
    }
    QStringList lines() const
    {
        const std::lock_guard lock(mutex_);
        return lines_;
    }

private:
    mutable std::mutex mutex_;
    QStringList lines_;
};

// Carries out what `queue` holds and the end of `run` with `preparers` preparation threads; the run's totals.
HarvestRun::Totals harvestRun(CopyQueue& queue, UrlCache& cache, FailureLog& log,
                              const std::shared_ptr<HarvestRun>& run, int preparers)
{
    const std::atomic<bool> closing{false};
    queue.PushRunEnd(run);
    thCpy worker(queue, cache, closing, std::chrono::milliseconds(0), &log, preparers);
    worker.start();
    EXPECT_TRUE(run->waitFinished(std::chrono::seconds(60)));
    worker.requestStop();
    worker.wait();
    return run->totals();
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

    // Queues the cached entry of `path` on the fixture's site as a job of `run`; the entry.
    CacheEntry push(const QString& path, const QString& folder, bool isDocument, bool deleteAfter)
    {
        const std::optional<CacheEntry> entry = cache_.lookup(kSite + path);
        EXPECT_TRUE(entry.has_value()) << path.toStdString();
        if (!entry)
            return {};
        queue_.PushCopyJob(*entry, folder, isDocument, deleteAfter, run_);
        return *entry;
    }

    // Queues every entry of `path` on the fixture's site, one per cache partition that holds it.
    QList<CacheEntry> pushEvery(const QString& path, const QString& folder, bool isDocument, bool deleteAfter)
    {
        QList<CacheEntry> entries;
        const std::unique_ptr<CacheEnumeration> walk = cache_.enumerate();
        while (const std::optional<CacheEntry> entry = walk->next()) {
            if (entry->url == kSite + path) {
                queue_.PushCopyJob(*entry, folder, isDocument, deleteAfter, run_);
                entries << *entry;
            }
        }
        return entries;
    }

    bool cached(const QString& path) { return cache_.lookup(kSite + path).has_value(); }

    // Carries out what is queued and the end of the run with `preparers` preparation threads.
    HarvestRun::Totals harvest(int preparers = 2)
    {
        const HarvestRun::Totals totals = harvestRun(queue_, cache_, log_, run_, preparers);
        run_ = std::make_shared<HarvestRun>();
        return totals;
    }

    QTemporaryDir cacheCopy_;
    QTemporaryDir save_;
    SimpleCache cache_{cachePath()};
    CopyQueue queue_;
    std::atomic<bool> closing_{false};
    RecordingLog log_;
    std::shared_ptr<HarvestRun> run_ = std::make_shared<HarvestRun>();
};

TEST_F(CopyWorkerTest, HarvestsResourcesAndDocumentsAndDeletesOnlyOnceTheRunIsHandled)
{
    // The picture is saved and marked for deletion before the page that embeds it is archived: the
    // deletion waits for the end of the run, so the archive still gets the picture. The fixture holds it
    // in two partitions: both are saved (the second finds the same bytes in place) and each is deleted.
    const QList<CacheEntry> logos = pushEvery("/img/logo.gif", save_.path(), false, true);
    ASSERT_EQ(logos.size(), 2);
    const CacheEntry& logo = logos.first();
    const CacheEntry photo = push("/img/photo.jpg", save_.path(), false, false);
    push("/index.html", save_.path(), true, true);
    push("/gbk.html", save_.path(), true, false);
    push("/sub/dir/page.html", save_.path(), true, false);
    EXPECT_TRUE(QRegularExpression(R"(^logo\[1\]\.gif$)").match(logo.localName).hasMatch())
        << logo.localName.toStdString();

    for (const int preparers : {0, 2}) {
        SCOPED_TRACE(preparers);
        if (preparers == 2) {
            // The same again, now that the first round deleted two entries: those jobs are refused.
            for (const QString& name : folderContents(save_.path()))
                QFile::remove(save_.filePath(name));
            for (const CacheEntry& entry : logos)
                queue_.PushCopyJob(entry, save_.path(), false, true, run_);
            push("/img/photo.jpg", save_.path(), false, false);
            push("/gbk.html", save_.path(), true, false);
            push("/sub/dir/page.html", save_.path(), true, false);
        }
        const HarvestRun::Totals totals = harvest(preparers);
        EXPECT_EQ(totals.saved, preparers == 0 ? 5 : 3);
        EXPECT_EQ(totals.alreadySaved, preparers == 0 ? 1 : 0);
        EXPECT_EQ(totals.changed, preparers == 0 ? 0 : 2); // the logo's entries are gone
        EXPECT_EQ(totals.failed, 0);
        EXPECT_EQ(totals.deleted, preparers == 0 ? 3 : 0);
        EXPECT_EQ(totals.notDeleted, 0);
    }
    // The second round's archive of the page lacks the logo, deleted in the first round: it gets no part.
    EXPECT_EQ(log_.lines(),
              QStringList(QStringLiteral("页面“%1/sub/dir/page.html”有1个资源不在缓存中，存档里没有它们").arg(kSite)));

    const QByteArray archive = fileBytes(save_.filePath(QStringLiteral("相对路径测试 relative references.mht")));
    EXPECT_TRUE(archive.contains("\r\nContent-Location:" + kSite.toUtf8() + "/sub/dir/page.html\r\n"));
    EXPECT_TRUE(archive.endsWith("\r\n------=gleaner--\r\n"));
    EXPECT_EQ(partLocations(archive),
              QStringList({kSite + "/css/style.css", kSite + "/sub/dir/local.js", kSite + "/sub/dir/local.png",
                           kSite + "/sub/shared.gif", kSite + "/img/photo.jpg", kSite + "/img/icon.png"}));
    EXPECT_TRUE(partBody(archive, kSite + "/sub/dir/local.png").startsWith("\x89PNG"));
    EXPECT_EQ(fileBytes(save_.filePath(photo.localName)).size(), 41512);
    const StrictMimeReader::Archive gbk =
        StrictMimeReader::read(fileBytes(save_.filePath(QStringLiteral("简体中文网页（GBK编码）.mht"))));
    ASSERT_FALSE(gbk.parts.isEmpty()) << gbk.error.toStdString();
    EXPECT_TRUE(gbk.parts.first().body.contains("\xBC\xF2\xCC\xE5\xD6\xD0\xCE\xC4")); // the page's GBK bytes

    EXPECT_FALSE(cached("/index.html"));
    EXPECT_FALSE(cached("/img/logo.gif"));
    EXPECT_TRUE(cached("/gbk.html"));
    EXPECT_TRUE(cached("/img/photo.jpg"));
}

TEST_F(CopyWorkerTest, AnEntryRewrittenSinceTheScanIsSkippedAndKept)
{
    const CacheEntry photo = push("/img/photo.jpg", save_.path(), false, true);
    // The browser rewrites the entry file in place (the same name, another modification time).
    const QByteArray entryFile = QFile::encodeName(photo.body.file);
    const struct utimbuf later
    {
        std::time(nullptr) + 60, std::time(nullptr) + 60
    };
    ASSERT_EQ(::utime(entryFile.constData(), &later), 0);
    push("/img/logo.gif", save_.path(), false, false);

    const HarvestRun::Totals totals = harvest();
    EXPECT_EQ(totals.changed, 1);
    EXPECT_EQ(totals.saved, 1);
    EXPECT_EQ(totals.deleted, 0);
    EXPECT_EQ(folderContents(save_.path()), QStringList({QStringLiteral("logo[1].gif")}));
    EXPECT_TRUE(cached("/img/photo.jpg"));
}

TEST_F(CopyWorkerTest, AFailedSaveLeavesNoFileDeletesNothingAndIsLoggedAndCounted)
{
    const QString missingFolder = save_.filePath("not-made");
    const QString readOnlyFolder = save_.filePath("read-only");
    ASSERT_TRUE(QDir().mkpath(readOnlyFolder));
    ASSERT_TRUE(QFile::setPermissions(readOnlyFolder, QFile::ReadOwner | QFile::ExeOwner));
    push("/img/logo.gif", missingFolder, false, true);
    push("/index.html", missingFolder, true, true);
    if (::geteuid() != 0) // root writes into read-only folders
        push("/img/icon.png", readOnlyFolder, false, true);
    push("/img/photo.jpg", save_.path(), false, true); // the worker goes on after failures

    const HarvestRun::Totals totals = harvest();
    EXPECT_EQ(totals.failed, ::geteuid() != 0 ? 3 : 2);
    EXPECT_EQ(totals.saved, 1);
    EXPECT_EQ(totals.deleted, 1);
    EXPECT_EQ(log_.lines().size(), totals.failed);
    EXPECT_TRUE(log_.lines().first().contains(kSite + "/img/logo.gif"));
    EXPECT_TRUE(cached("/img/logo.gif"));
    EXPECT_TRUE(cached("/index.html"));
    EXPECT_TRUE(cached("/img/icon.png"));
    EXPECT_FALSE(cached("/img/photo.jpg"));
    EXPECT_FALSE(QFileInfo::exists(missingFolder));
    EXPECT_EQ(folderContents(readOnlyFolder), QStringList());
    QFile::setPermissions(readOnlyFolder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

TEST_F(CopyWorkerTest, AWriteThatFailsPartWayLeavesNoHalfFile)
{
    // Files may grow to 16 KiB only: the photo (41512 bytes) and the archive that embeds it fail part-way.
    push("/img/photo.jpg", save_.path(), false, true);
    push("/index.html", save_.path(), true, true);
    push("/img/logo.gif", save_.path(), false, true);
    HarvestRun::Totals totals;
    {
        const FileSizeLimit limit(16 * 1024);
        ASSERT_TRUE(limit.isActive());
        totals = harvest();
    }

    EXPECT_EQ(totals.failed, 2);
    EXPECT_EQ(totals.saved, 1);
    EXPECT_EQ(totals.deleted, 1);
    EXPECT_EQ(log_.lines().size(), 2);
    EXPECT_EQ(folderContents(save_.path()), QStringList({QStringLiteral("logo[1].gif")}));
    EXPECT_TRUE(cached("/img/photo.jpg"));
    EXPECT_TRUE(cached("/index.html"));
}

TEST_F(CopyWorkerTest, ASaveFolderGoneBeforeTheRunEndsDeletesNoEntry)
{
    // The files are saved, then their folder is removed before the run's deletions: the entries are now
    // the only copies, so none is deleted.
    const QString folder = save_.filePath(QStringLiteral("removed"));
    ASSERT_TRUE(QDir().mkpath(folder));
    push("/img/logo.gif", folder, false, true);
    push("/img/photo.jpg", save_.path(), false, true);
    thCpy worker(queue_, cache_, closing_, std::chrono::milliseconds(0), &log_);
    worker.start();
    worker.waitUntilIdle();
    EXPECT_EQ(folderContents(folder), QStringList({QStringLiteral("logo[1].gif")}));
    ASSERT_TRUE(QDir(folder).removeRecursively());
    queue_.PushRunEnd(run_);
    ASSERT_TRUE(run_->waitFinished(std::chrono::seconds(60)));
    worker.requestStop();
    worker.wait();

    const HarvestRun::Totals totals = run_->totals();
    EXPECT_EQ(totals.saved, 2);
    EXPECT_EQ(totals.deleted, 0);
    EXPECT_EQ(totals.notDeleted, 2);
    ASSERT_EQ(log_.lines().size(), 1);
    EXPECT_TRUE(log_.lines().first().endsWith(QStringLiteral("缓存项都没有删除")))
        << log_.lines().first().toStdString();
    EXPECT_TRUE(cached("/img/logo.gif"));
    EXPECT_TRUE(cached("/img/photo.jpg"));
}

TEST_F(CopyWorkerTest, TakesAJobPushedWhileIdle)
{
    thCpy worker(queue_, cache_, closing_, std::chrono::milliseconds(10), &log_);
    worker.start();
    std::this_thread::sleep_for(std::chrono::milliseconds(200)); // idle by now
    push("/img/logo.gif", save_.path(), false, false);
    queue_.PushRunEnd(run_);
    // Generous: the point is that the job is taken without any further prompting.
    EXPECT_TRUE(run_->waitFinished(std::chrono::seconds(30)));
    EXPECT_TRUE(QFileInfo::exists(save_.filePath(QStringLiteral("logo[1].gif"))));
}

TEST_F(CopyWorkerTest, ClosingOrStoppingDropsTheQueueAndTheRunsDeletions)
{
    for (const bool closing : {true, false}) {
        SCOPED_TRACE(closing);
        for (int i = 0; i < 50; ++i) {
            push("/img/photo.jpg", save_.path(), false, true);
            push("/index.html", save_.path(), true, true);
        }
        queue_.PushRunEnd(run_);
        thCpy worker(queue_, cache_, closing_, std::chrono::milliseconds(10), &log_);
        if (closing)
            closing_ = true;
        worker.start();
        if (!closing)
            std::this_thread::sleep_for(std::chrono::milliseconds(30)); // some jobs in hand
        worker.requestStop();
        worker.wait();
        closing_ = false;

        EXPECT_FALSE(run_->isFinished());
        EXPECT_EQ(run_->totals().deleted, 0);
        EXPECT_TRUE(cached("/img/photo.jpg"));
        EXPECT_TRUE(cached("/index.html"));
        // Whatever was committed is whole; nothing half-written or temporary is left.
        for (const QString& name : folderContents(save_.path()))
            EXPECT_FALSE(name.startsWith(QLatin1Char('.'))) << name.toStdString();
        while (queue_.FirstJob() != nullptr)
            queue_.RemoveFirstJob();
        run_ = std::make_shared<HarvestRun>();
    }
}

// Harvests a CodedMapCache's entries with a worker of `preparers` preparation threads.
class CodedBodiesTest : public ::testing::Test
{
protected:
    void push(const char* path, bool isDocument)
    {
        const std::optional<CacheEntry> entry = cache_.lookup(kSite + QString::fromLatin1(path));
        ASSERT_TRUE(entry.has_value()) << path;
        queue_.PushCopyJob(*entry, save_.path(), isDocument, false, run_);
    }

    HarvestRun::Totals harvest(int preparers) { return harvestRun(queue_, cache_, log_, run_, preparers); }

    QByteArray saved(const char* name) const { return fileBytes(save_.filePath(QString::fromUtf8(name))); }

    static inline const QString kSite = QStringLiteral("http://example.test");
    QTemporaryDir cacheFolder_;
    QTemporaryDir save_;
    CodedMapCache cache_{cacheFolder_.path()};
    CopyQueue queue_;
    RecordingLog log_;
    std::shared_ptr<HarvestRun> run_ = std::make_shared<HarvestRun>();
};

TEST_F(CodedBodiesTest, DamagedBodiesAreSavedAsBrowsersShowThemAndBombsAreRefused)
{
    const QByteArray page = "<html><head><title>damaged</title></head><body>" +
                            QByteArray("Some text. ").repeated(500) + "<img src=\"pic.png\"></body></html>";
    const QByteArray picture = "\x89PNG\r\n\x1a\n" + QByteArray("a picture's pixels ").repeated(300);
    const QByteArray text = QByteArray("A line of a text file.\n").repeated(200);
    struct Case
    {
        const char* path;
        QByteArray stored;
        const char* encoding;
        bool isDocument;
    };
    const Case cases[] = {
        // The page's trailer is wrong and the picture's is missing: what inflated is the body.
        {"/damaged.html", gzipOf(page, QByteArray(8, '\x55')), "gzip", true},
        {"/pic.png", gzipOf(picture, QByteArray()), "gzip", false},
        // Cut in its last block: saved with the bytes before the cut.
        {"/cut.txt", gzipOf(text, QByteArray(), 0).chopped(100), "gzip", false},
        // A coding nobody knows: the stored bytes are all there are.
        {"/odd.txt", text, "x-odd", false},
        // Not gzip at all: refused, not saved as it is stored.
        {"/garbage.js", text, "gzip", false},
        // 17 MiB from 17 KB: past the per-body floor, and far past the ratio.
        {"/bomb.bin", zlibOf(QByteArray(EntryBody::kDecodedFloor + (1 << 20), '\0')), "deflate", false},
    };
    for (const Case& c : cases) {
        const QString url = kSite + QString::fromLatin1(c.path);
        cache_.addCoded(url, QString::fromLatin1(c.path).sliced(1), c.stored, QString::fromLatin1(c.encoding),
                        QString::fromLatin1(c.isDocument ? "text/html" : "image/png"));
        if (QByteArrayView(c.path) != "/pic.png")
            push(c.path, c.isDocument);
    }

    const HarvestRun::Totals totals = harvest(2);
    EXPECT_EQ(totals.saved, 3);
    EXPECT_EQ(totals.pagesSaved, 1);
    EXPECT_EQ(totals.missingResources, 0);
    EXPECT_EQ(totals.failed, 2);
    EXPECT_EQ(totals.refusedFor(EntryBody::Refusal::Undecodable), 1);
    EXPECT_EQ(totals.refusedFor(EntryBody::Refusal::Amplified), 1);
    EXPECT_TRUE(HarvestRun::summaryText(totals).contains(QStringLiteral("失败2个（其中解码超出上限1个）")))
        << HarvestRun::summaryText(totals).toStdString();
    QStringList lines = log_.lines();
    lines.sort();
    EXPECT_EQ(lines, QStringList({QStringLiteral("未能保存“%1/bomb.bin”：解码后超出存储大小允许的倍数").arg(kSite),
                                  QStringLiteral("未能保存“%1/garbage.js”：无法解码").arg(kSite)}));

    const QByteArray archive = saved("damaged.mht");
    EXPECT_TRUE(archive.contains("Some text. Some text."));
    EXPECT_EQ(partBody(archive, kSite + "/pic.png"), picture);
    EXPECT_EQ(saved("cut.txt"), text.chopped(100));
    EXPECT_EQ(saved("odd.txt"), text);
    EXPECT_EQ(folderContents(save_.path()), QStringList({"cut.txt", "damaged.mht", "odd.txt"}));
}

TEST_F(CodedBodiesTest, TheRunsBudgetStopsFurtherDecodingWithOneLine)
{
    run_ = std::make_shared<HarvestRun>(HarvestRun::Finished(), 1 << 20);
    // The page is stored as it is; its 4 MiB sprite, coded, passes the run's 1 MiB as the archive is written.
    cache_.addCoded(kSite + "/page.html", "page.html", "<title>page</title><img src=\"sprite.bin\">", QString(),
                    QStringLiteral("text/html"));
    cache_.addCoded(kSite + "/sprite.bin", "sprite.bin", zlibOf(QByteArray(4 << 20, '\0')), QStringLiteral("deflate"),
                    QStringLiteral("image/png"));
    cache_.addCoded(kSite + "/a.txt", "a.txt", gzipOf("a small coded file", QByteArray()), QStringLiteral("gzip"));
    cache_.addCoded(kSite + "/b.html", "b.html", gzipOf("<title>b</title>", QByteArray()), QStringLiteral("gzip"),
                    QStringLiteral("text/html"));
    // A picture stored as it is, larger than the budget: not decoded, so never refused by it.
    const QByteArray photo(2 << 20, 'p');
    cache_.add(kSite + "/photo.jpg", "photo.jpg", photo);
    push("/page.html", true);
    push("/a.txt", false);
    push("/b.html", true);
    push("/photo.jpg", false);

    // One by one, so that the budget is spent by the first job.
    const HarvestRun::Totals totals = harvest(0);
    EXPECT_TRUE(run_->decodingBudget().isSpent());
    EXPECT_EQ(totals.saved, 2);
    EXPECT_EQ(totals.missingResources, 1);
    EXPECT_EQ(totals.failed, 2);
    EXPECT_EQ(totals.refusedFor(EntryBody::Refusal::BudgetSpent), 2);
    EXPECT_EQ(
        log_.lines(),
        QStringList({QStringLiteral("页面“%1/page.html”有1个资源不在缓存中，存档里没有它们").arg(kSite),
                     QStringLiteral("本次运行解码写出的数据已达上限，自“%1/page.html”起需要解码的缓存项都不再保存")
                         .arg(kSite)}));
    EXPECT_EQ(saved("photo.jpg"), photo);
    EXPECT_EQ(folderContents(save_.path()), QStringList({"page.mht", "photo.jpg"}));
}

TEST_F(CodedBodiesTest, HostilePagesAreSavedWithWhatTheyHoldCountedAndLoggedOnce)
{
    const QByteArray picture = "\x89PNG\r\n\x1a\n";
    cache_.add(kSite + "/before.gif", "before.gif", picture);
    cache_.add(kSite + "/after.gif", "after.gif", picture);
    const QByteArray normal = "<title>normal</title><img src=\"before.gif\">";
    cache_.addCoded(kSite + "/normal-1.html", "normal-1.html", normal, QString(), QStringLiteral("text/html"));
    push("/normal-1.html", true);
    QStringList cappedUrls;
    int n = 0;
    for (const HostilePages::Shape& shape : HostilePages::kShapes) {
        const QString path = QStringLiteral("/hostile-%1.html").arg(++n);
        cache_.addCoded(kSite + path, path.sliced(1), shape.make(1 << 20), QString(), QStringLiteral("text/html"));
        push(path.toLatin1().constData(), true);
        if (shape.capped)
            cappedUrls << kSite + path;
    }
    cache_.addCoded(kSite + "/normal-2.html", "normal-2.html", normal, QString(), QStringLiteral("text/html"));
    push("/normal-2.html", true);

    const HarvestRun::Totals totals = harvest(2);
    EXPECT_EQ(totals.pagesSaved + totals.alreadySaved, n + 2);
    EXPECT_EQ(totals.failed, 0);
    EXPECT_EQ(totals.cappedPages, cappedUrls.size());
    EXPECT_TRUE(HarvestRun::summaryText(totals).contains(
        QStringLiteral("页面过于庞杂只存了一部分资源%1个").arg(cappedUrls.size())));
    QStringList cappedLines = log_.lines().filter(QStringLiteral("过于庞杂"));
    cappedLines.sort();
    QStringList expected;
    for (const QString& url : cappedUrls)
        expected << QStringLiteral("页面“%1”过于庞杂，超出读取上限的部分未处理，存档里只有此前找到的资源").arg(url);
    expected.sort();
    EXPECT_EQ(cappedLines, expected);
    // The ordinary pages of the run are whole.
    EXPECT_EQ(partBody(saved("normal.mht"), kSite + "/before.gif"), picture);
}

TEST_F(CodedBodiesTest, CappedPagesPastTheLineCapShareOneLine)
{
    QByteArray page = "<img";
    for (int i = 0; i <= HtmlTokenizer::kMaxAttributes; ++i)
        page += " a" + QByteArray::number(i);
    page += ">";
    for (int i = 0; i < thCpy::kMaxPageLines + 5; ++i) {
        const QString path = QStringLiteral("/p%1.html").arg(i);
        cache_.addCoded(kSite + path, path.sliced(1), page, QString(), QStringLiteral("text/html"));
        push(path.toLatin1().constData(), true);
    }
    const HarvestRun::Totals totals = harvest(2);
    EXPECT_EQ(totals.cappedPages, thCpy::kMaxPageLines + 5);
    const QStringList lines = log_.lines();
    ASSERT_EQ(lines.size(), thCpy::kMaxPageLines);
    EXPECT_EQ(lines.last(), QStringLiteral("更多页面超出读取上限，不再逐一记录"));
}

TEST(CopyWorkerMapCacheTest, AnEntryRefreshedBetweenRunsSavesTheNewBody)
{
    QTemporaryDir cacheFolder;
    QTemporaryDir save;
    MapCache cache(cacheFolder.path());
    CopyQueue queue;
    const std::atomic<bool> closing{false};
    thCpy worker(queue, cache, closing, std::chrono::milliseconds(0));
    worker.start();
    for (const QByteArray& body : {QByteArray("first body"), QByteArray("the browser's refreshed body")}) {
        cache.add(QStringLiteral("http://example.test/a.txt"), QStringLiteral("a[1].txt"), body);
        const auto run = std::make_shared<HarvestRun>();
        queue.PushCopyJob(*cache.lookup(QStringLiteral("http://example.test/a.txt")), save.path(), false, false, run);
        queue.PushRunEnd(run);
        ASSERT_TRUE(run->waitFinished(std::chrono::seconds(30)));
        EXPECT_EQ(run->totals().saved, 1);
    }
    // The first body stays where it was saved: the refreshed one takes the next name.
    EXPECT_EQ(fileBytes(save.filePath(QStringLiteral("a[1].txt"))), "first body");
    EXPECT_EQ(fileBytes(save.filePath(QStringLiteral("a[2].txt"))), "the browser's refreshed body");
}

TEST(CopyWorkerMapCacheTest, NoSaveReplacesAFileAndTheSameBytesAreNotSavedTwice)
{
    QTemporaryDir cacheFolder;
    QTemporaryDir save;
    MapCache cache(cacheFolder.path());
    cache.add(QStringLiteral("http://example.test/a.html"), QStringLiteral("a[1].html"), "<title>important</title>A");
    cache.add(QStringLiteral("http://example.test/b.html"), QStringLiteral("b[1].html"), "<title>important</title>B");
    cache.add(QStringLiteral("http://example.test/logo.gif"), QStringLiteral("logo[1].gif"), "GIF89a new");
    ASSERT_TRUE(writeFileBytes(save.filePath(QStringLiteral("important.mht")), "the user's own file"));
    ASSERT_TRUE(writeFileBytes(save.filePath(QStringLiteral("logo[1].gif")), "GIF89a saved before"));
    CopyQueue queue;
    const std::atomic<bool> closing{false};
    thCpy worker(queue, cache, closing, std::chrono::milliseconds(0));
    worker.start();
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        const auto run = std::make_shared<HarvestRun>();
        for (const char* url : {"http://example.test/a.html", "http://example.test/b.html"})
            queue.PushCopyJob(*cache.lookup(QString::fromUtf8(url)), save.path(), true, false, run);
        queue.PushCopyJob(*cache.lookup(QStringLiteral("http://example.test/logo.gif")), save.path(), false, false,
                          run);
        queue.PushRunEnd(run);
        ASSERT_TRUE(run->waitFinished(std::chrono::seconds(30)));
        // The second round finds every file in place already (the archives' date is today's both times).
        EXPECT_EQ(run->totals().saved, round == 0 ? 3 : 0);
        EXPECT_EQ(run->totals().alreadySaved, round == 0 ? 0 : 3);
        EXPECT_EQ(folderContents(save.path()), QStringList({"important (2).mht", "important (3).mht", "important.mht",
                                                            "logo[1].gif", "logo[2].gif"}));
    }
    EXPECT_EQ(fileBytes(save.filePath(QStringLiteral("important.mht"))), "the user's own file");
    EXPECT_EQ(fileBytes(save.filePath(QStringLiteral("logo[1].gif"))), "GIF89a saved before");
    EXPECT_EQ(fileBytes(save.filePath(QStringLiteral("logo[2].gif"))), "GIF89a new");
    EXPECT_TRUE(
        fileBytes(save.filePath(QStringLiteral("important (3).mht"))).contains("\r\n<title>important</title>B\r\n"));
}

} // namespace
