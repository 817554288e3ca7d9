#include "engine/keep/CacheKeeper.h"

#include "QtPrinters.h"
#include "TestFolders.h"
#include "engine/cache/CacheDetector.h"
#include "engine/cache/SimpleCache.h"
#include "engine/cache/SimpleCacheFolder.h"
#include "engine/keep/KeepObserver.h"
#include "engine/run/CopyQueue.h"
#include "engine/run/HarvestRun.h"
#include "engine/run/ScanObserver.h"
#include "engine/run/thCpy.h"
#include "util/FailureLog.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>
#include <QtEndian>

#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;

namespace
{

const QString kSimpleFixture = QStringLiteral(WEBGLEANER_TEST_DATA "/caches/chromium-simple/Cache_Data");
const QString kPagesFixture = QStringLiteral(WEBGLEANER_TEST_DATA "/caches/chromium-pages/Cache_Data");

// How long a test waits for what the keeper is to do: far more than it takes, so that a slow machine (or a
// sanitizer's) does not fail it.
constexpr auto kDeadline = 20s;

const KeepSettings kQuick{150ms, 3000ms, 5000ms};

class RecordingLog : public FailureLog
{
public:
    void logFailure(const QString& message) noexcept override
    {
        const std::lock_guard lock(mutex_);
        lines_ << message;
    }

private:
    std::mutex mutex_;
    QStringList lines_;
};

// What the keeper reports, for a test to wait on.
class Recorder : public KeepObserver
{
public:
    void keepingStarted(const QStringList& keptCaches, const QStringList& notKeptCaches) override
    {
        record([&] {
            kept = keptCaches;
            notKept = notKeptCaches;
            ++started;
        });
    }
    void notice(const QString& text) override
    {
        record([&] { notices << text; });
    }
    void resultRow(const ResultRow& row) override
    {
        record([&] { rows << row; });
    }
    void totalsChanged(const KeepTotals& now) override
    {
        record([&] { totals = now; });
    }
    void keepingEnded(const KeepTotals& now) override
    {
        record([&] {
            totals = now;
            ++ended;
        });
    }

    // True once `done` holds, false when the deadline passed first.
    bool waitFor(const std::function<bool(const Recorder&)>& done)
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kDeadline, [&] { return done(*this); });
    }

    // Saves carried out in all: put in place, found in place, failed or skipped.
    int handled() const
    {
        const HarvestRun::Totals& saves = totals.saves;
        return saves.saved + saves.alreadySaved + saves.failed + saves.changed;
    }

    // Read once the keeper has ended, or under waitFor.
    QStringList kept, notKept, notices;
    QList<ResultRow> rows;
    KeepTotals totals;
    int started = 0;
    int ended = 0;

private:
    void record(const std::function<void()>& change)
    {
        {
            const std::lock_guard lock(mutex_);
            change();
        }
        changed_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable changed_;
};

// The entry files of a fixture by the URL they hold: the first usable entry of each URL.
QHash<QString, QString> entryFilesByUrl(const QString& fixture)
{
    const SimpleCacheFolder folder(fixture);
    QHash<QString, QString> files;
    for (const QString& name : folder.entryFileNames()) {
        if (const std::optional<CacheEntry> entry = folder.readEntry(name, {}); entry && !files.contains(entry->url))
            files.insert(entry->url, name);
    }
    return files;
}

StrucRec plan(const QString& name, int ztype, const QString& tpname, const QString& saveFolder, bool ifdel = false)
{
    StrucRec record;
    record.name = name;
    record.ztype = ztype;
    record.tpname = tpname;
    record.savpath = saveFolder;
    record.ifdel = ifdel;
    return record;
}

// The body of a simple-cache entry file (stream 1) changed in its first byte, its CRC made right again: the
// same entry rewritten by the server with other bytes.
QByteArray withOtherBody(QByteArray file)
{
    const QByteArray finalMagic = QByteArray::fromHex("d8410d97456ffaf4"); // little-endian kSimpleFinalMagic
    const quint32 keyLength = qFromLittleEndian<quint32>(file.constData() + 12);
    const qsizetype bodyStart = 24 + qsizetype(keyLength);
    const qsizetype eof = file.indexOf(finalMagic, bodyStart);
    EXPECT_GT(eof, bodyStart + 8);
    file[bodyStart + 4] = char(file[bodyStart + 4] ^ 0x55);
    quint32 crc = 0xffffffffu;
    for (qsizetype i = bodyStart; i < eof; ++i) {
        crc ^= quint8(file[i]);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    crc = ~crc;
    qToLittleEndian<quint32>(crc, file.data() + eof + 12);
    return file;
}

QStringList filesIn(const QString& folder)
{
    return QDir(folder).entryList(QDir::Files, QDir::Name);
}

// A copy worker and a keeper over one simple-cache folder of a temporary place, with plans saving into
// folders beside it.
class KeeperRig
{
public:
    explicit KeeperRig(const QString& fixture = kSimpleFixture) : fixture_(fixture), files_(entryFilesByUrl(fixture))
    {
        EXPECT_TRUE(dir_.isValid());
        EXPECT_TRUE(QDir().mkpath(cacheFolder()));
        worker_.start();
    }

    ~KeeperRig()
    {
        stop();
        worker_.requestStop();
        worker_.wait();
    }

    QString cacheFolder() const { return dir_.path() + QStringLiteral("/Cache_Data"); }
    QString saveFolder(const QString& name) const { return dir_.path() + u'/' + name; }

    void start(tScanBuf::RunPlanList plans, const KeepSettings& settings = kQuick,
               std::vector<CacheLocation> locations = {})
    {
        if (locations.empty())
            locations.push_back({CacheLocation::Kind::ChromiumSimple, cacheFolder(), QStringLiteral("Chromium"),
                                 QStringLiteral("Default")});
        recorder = std::make_unique<Recorder>();
        keeper_ = std::make_unique<CacheKeeper>(cache_, std::move(locations), queue_, std::move(plans), *recorder,
                                                &log_, settings);
        keeper_->start();
        ASSERT_TRUE(recorder->waitFor([](const Recorder& r) { return r.started == 1; }));
    }

    // Stops the keeper once the copy worker has carried out what it queued.
    void stop()
    {
        if (!keeper_)
            return;
        keeper_->requestStop();
        keeper_->wait();
        keeper_.reset();
    }

    // The entry file of `url` in the fixture, as the browser would write it.
    QString fileOf(const QString& url) const
    {
        EXPECT_TRUE(files_.contains(url)) << url.toStdString();
        return files_.value(url);
    }
    QByteArray bytesOf(const QString& url) const { return fileBytes(fixture_ + u'/' + fileOf(url)); }
    void write(const QString& url, const QByteArray& bytes) const
    {
        ASSERT_TRUE(writeFileBytes(cacheFolder() + u'/' + fileOf(url), bytes));
    }
    // The whole fixture, as a cache the browser wrote a while ago.
    void copyAll() const
    {
        ASSERT_TRUE(copyFolder(fixture_, cacheFolder()));
        const auto past = std::filesystem::file_time_type::clock::now() - 1h;
        for (const QString& name : filesIn(cacheFolder()))
            std::filesystem::last_write_time((cacheFolder() + u'/' + name).toStdString(), past);
    }

    void simulateQueueOverflow() { keeper_->simulateQueueOverflow(); }

    // A one-shot run of `plans` over the same cache, as the window starts one; its totals once the copy
    // worker has carried it out.
    HarvestRun::Totals runOnce(tScanBuf::RunPlanList plans)
    {
        struct : ScanObserver
        {
            void hintText(const QString&) override {}
            void resultRow(const ResultRow&) override {}
            void runEnded() override {}
        } quiet;
        const std::atomic<bool> closing{false};
        const auto run = std::make_shared<HarvestRun>();
        tScanBuf scan(cache_, queue_, std::move(plans), closing, quiet, 0ms, run, &log_);
        scan.Execute();
        EXPECT_TRUE(run->waitFinished(kDeadline));
        return run->totals();
    }

    std::unique_ptr<Recorder> recorder;

private:
    const QString fixture_;
    const QHash<QString, QString> files_;
    QTemporaryDir dir_;
    RecordingLog log_;
    std::atomic<bool> closing_{false};
    CopyQueue queue_;
    SimpleCache cache_{dir_.path() + QStringLiteral("/Cache_Data")};
    thCpy worker_{queue_, cache_, closing_, 0ms, &log_, 1};
    std::unique_ptr<CacheKeeper> keeper_;
};

const QString kIcon = QStringLiteral("http://127.0.0.1:18431/img/icon.png");
const QString kPhoto = QStringLiteral("http://127.0.0.1:18431/img/photo.jpg");

// A pause in a write sequence, long enough for the keeper to take what it would take: never an assertion.
void letSettle()
{
    std::this_thread::sleep_for(4 * kQuick.settle);
}

// One browser's doing in a write sequence.
struct Step
{
    enum class Kind
    {
        WriteHalf,    // the first half of the entry file
        Write,        // the whole entry file
        WriteOther,   // the same entry with other body bytes
        RemoveFolder, // the cache folder deleted
        MakeFolder,   // and made again
        Overflow,     // the system's event queue overflowed
        Settle,       // a pause
        AwaitHandled, // until this many saves were carried out
    };
    Kind kind;
    QString url;
    int count = 0;
};

struct SequenceCase
{
    const char* name;
    std::vector<Step> steps;
    int matched;
    int saved;
    int alreadySaved;
    int savedFiles;
    int rescans;
};

class KeeperSequenceTest : public ::testing::TestWithParam<SequenceCase>
{};

TEST_P(KeeperSequenceTest, SavesEachVersionOnceWhenWhole)
{
    const SequenceCase& sequence = GetParam();
    KeeperRig rig;
    const QString saved = rig.saveFolder(QStringLiteral("saved"));
    ASSERT_TRUE(QDir().mkpath(saved));
    rig.start({plan(QStringLiteral("everything"), 1, {}, saved)});
    using K = Step::Kind;
    for (const Step& step : sequence.steps) {
        switch (step.kind) {
        case K::WriteHalf:
            rig.write(step.url, rig.bytesOf(step.url).left(rig.bytesOf(step.url).size() / 2));
            break;
        case K::Write:
            rig.write(step.url, rig.bytesOf(step.url));
            break;
        case K::WriteOther:
            rig.write(step.url, withOtherBody(rig.bytesOf(step.url)));
            break;
        case K::RemoveFolder:
            ASSERT_TRUE(QDir(rig.cacheFolder()).removeRecursively());
            break;
        case K::MakeFolder:
            ASSERT_TRUE(QDir().mkpath(rig.cacheFolder()));
            break;
        case K::Overflow:
            rig.simulateQueueOverflow();
            break;
        case K::Settle:
            letSettle();
            break;
        case K::AwaitHandled:
            ASSERT_TRUE(rig.recorder->waitFor([&](const Recorder& r) { return r.handled() >= step.count; }))
                << "handled " << rig.recorder->handled();
            break;
        }
    }
    letSettle();
    rig.stop();
    const KeepTotals& totals = rig.recorder->totals;
    EXPECT_EQ(rig.recorder->ended, 1);
    EXPECT_EQ(totals.matched, sequence.matched);
    EXPECT_EQ(totals.saves.saved, sequence.saved);
    EXPECT_EQ(totals.saves.alreadySaved, sequence.alreadySaved);
    EXPECT_EQ(totals.saves.failed, 0);
    EXPECT_EQ(filesIn(saved).size(), sequence.savedFiles) << filesIn(saved).join(u' ').toStdString();
    EXPECT_EQ(totals.rescans, sequence.rescans);
    EXPECT_EQ(rig.recorder->rows.size(), sequence.matched);
}

using K = Step::Kind;

Step act(K kind, const QString& url = {})
{
    return {kind, url, 0};
}

Step awaitHandled(int count)
{
    return {K::AwaitHandled, {}, count};
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Sequences, KeeperSequenceTest, ::testing::Values(
    SequenceCase{"WrittenInSteps",
                 {act(K::WriteHalf, kIcon), act(K::Settle), act(K::Write, kIcon), awaitHandled(1)},
                 1, 1, 0, 1, 1},
    SequenceCase{"RewrittenWithOtherBytes",
                 {act(K::Write, kIcon), awaitHandled(1), act(K::WriteOther, kIcon), awaitHandled(2)},
                 2, 2, 0, 2, 1},
    SequenceCase{"RewrittenWithSameBytes",
                 {act(K::Write, kIcon), awaitHandled(1), act(K::Write, kIcon), awaitHandled(2)},
                 2, 1, 1, 1, 1},
    SequenceCase{"FolderDeletedAndMadeAgain",
                 {act(K::Write, kIcon), awaitHandled(1), act(K::RemoveFolder), act(K::Settle), act(K::MakeFolder),
                  act(K::Settle), act(K::Write, kPhoto), awaitHandled(2)},
                 2, 2, 0, 2, 2},
    SequenceCase{"QueueOverflow",
                 {act(K::Write, kIcon), awaitHandled(1), act(K::Overflow), act(K::Settle), act(K::Write, kPhoto),
                  awaitHandled(2)},
                 2, 2, 0, 2, 2}),
    [](const auto& test) { return std::string(test.param.name); });
// clang-format on

// A cache of each format filled while it is kept: its files copied in, those of `first` before the keeper
// starts (what the browser made when it first ran).
struct FormatCase
{
    const char* name;
    CacheLocation::Kind kind;
    const char* fixture; // below the test data's caches folder
    QStringList first;   // relative paths (prefixes) of the files there before
};

class KeeperFormatTest : public ::testing::TestWithParam<FormatCase>
{};

TEST_P(KeeperFormatTest, SavesEveryEntryWrittenWhileKept)
{
    const FormatCase& format = GetParam();
    const QString fixture = QStringLiteral(WEBGLEANER_TEST_DATA "/caches/") + QLatin1String(format.fixture);
    int expected = 0;
    const std::unique_ptr<UrlCache> source = CacheDetector::open({format.kind, fixture});
    ASSERT_TRUE(source);
    const std::unique_ptr<CacheEnumeration> walk = source->enumerate();
    while (const std::optional<CacheEntry> entry = walk->next())
        expected += tScanBuf::isWebAddress(entry->url) ? 1 : 0;
    ASSERT_GT(expected, 0);

    QTemporaryDir dir;
    const QString folder = dir.path() + QStringLiteral("/cache");
    const QString saved = dir.path() + QStringLiteral("/saved");
    ASSERT_TRUE(QDir().mkpath(folder));
    ASSERT_TRUE(QDir().mkpath(saved));
    const auto copyFiles = [&](bool before) {
        QDirIterator files(fixture, QDir::Files, QDirIterator::Subdirectories);
        while (files.hasNext()) {
            const QString from = files.next();
            const QString relative = QDir(fixture).relativeFilePath(from);
            const bool isFirst = std::any_of(format.first.begin(), format.first.end(),
                                             [&](const QString& prefix) { return relative.startsWith(prefix); });
            if (isFirst == before)
                ASSERT_TRUE(writeFileBytes(folder + u'/' + relative, fileBytes(from)));
        }
    };
    copyFiles(true);

    RecordingLog log;
    std::atomic<bool> closing{false};
    CopyQueue queue;
    const std::unique_ptr<UrlCache> cache = CacheDetector::open({format.kind, folder});
    thCpy worker(queue, *cache, closing, 0ms, &log, 1);
    worker.start();
    Recorder recorder;
    {
        CacheKeeper keeper(*cache, {{format.kind, folder, QStringLiteral("Browser"), {}}}, queue,
                           {plan(QStringLiteral("everything"), 1, {}, saved)}, recorder, &log, kQuick);
        keeper.start();
        ASSERT_TRUE(recorder.waitFor([](const Recorder& r) { return r.started == 1; }));
        EXPECT_EQ(recorder.kept.size(), 1);
        copyFiles(false);
        ASSERT_TRUE(recorder.waitFor([&](const Recorder& r) { return r.handled() >= expected; }))
            << "handled " << recorder.handled() << " of " << expected;
        letSettle();
    }
    worker.requestStop();
    worker.wait();
    EXPECT_EQ(recorder.totals.matched, expected);
    EXPECT_EQ(recorder.totals.saves.failed, 0);
    EXPECT_EQ(recorder.totals.saves.changed, 0);
    EXPECT_FALSE(filesIn(saved).isEmpty());
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Formats, KeeperFormatTest, ::testing::Values(
    FormatCase{"Firefox", CacheLocation::Kind::Firefox, "firefox-cache2", {}},
    // The salt is made with the folder; records come one folder of records to a site.
    FormatCase{"WebKit", CacheLocation::Kind::WebKit, "webkit/WebKitCache", {"Version 17/salt"}},
    FormatCase{"Blockfile", CacheLocation::Kind::ChromiumBlockfile, "chromium-blockfile/Cache_Data", {}},
    FormatCase{"IndexDat", CacheLocation::Kind::IndexDat, "indexdat/small/Content.IE5", {}}),
    [](const auto& test) { return std::string(test.param.name); });
// clang-format on

TEST(KeeperTest, NeverDeletesAndSaysSoOncePerPlan)
{
    KeeperRig rig;
    rig.copyAll();
    const QStringList before = filesIn(rig.cacheFolder());
    const QString pictures = rig.saveFolder(QStringLiteral("pictures"));
    const QString scripts = rig.saveFolder(QStringLiteral("scripts"));
    ASSERT_TRUE(QDir().mkpath(pictures));
    ASSERT_TRUE(QDir().mkpath(scripts));
    rig.start({plan(QStringLiteral("图片"), 1, QStringLiteral("*.png,*.jpg"), pictures, true),
               plan(QStringLiteral("脚本"), 1, QStringLiteral("*.js"), scripts, false)});
    ASSERT_TRUE(rig.recorder->waitFor(
        [](const Recorder& r) { return r.totals.matched > 0 && r.handled() >= r.totals.matched; }));
    rig.write(kIcon, withOtherBody(rig.bytesOf(kIcon)));
    letSettle();
    rig.stop();
    EXPECT_EQ(rig.recorder->notices, QStringList{QStringLiteral("方案“图片”设置了回收后删除缓存项，守候时不删除")});
    EXPECT_EQ(rig.recorder->totals.saves.deleted, 0);
    EXPECT_EQ(filesIn(rig.cacheFolder()), before);
    EXPECT_FALSE(filesIn(pictures).isEmpty());
    EXPECT_FALSE(filesIn(scripts).isEmpty());
}

TEST(KeeperTest, RestartedKeeperAndRunAfterKeepingSaveNothingAgain)
{
    KeeperRig rig(kPagesFixture);
    rig.copyAll();
    const QString pages = rig.saveFolder(QStringLiteral("pages"));
    const QString pictures = rig.saveFolder(QStringLiteral("pictures"));
    ASSERT_TRUE(QDir().mkpath(pages));
    ASSERT_TRUE(QDir().mkpath(pictures));
    const tScanBuf::RunPlanList plans{plan(QStringLiteral("网页"), 0, QStringLiteral("*.htm(html)"), pages),
                                      plan(QStringLiteral("图片"), 1, QStringLiteral("*.png,*.gif,*.jpg"), pictures)};
    const KeepSettings settings{150ms, 300ms, 5000ms};
    const auto allHandled = [](const Recorder& r) { return r.totals.matched > 0 && r.handled() >= r.totals.matched; };
    rig.start(plans, settings);
    ASSERT_TRUE(rig.recorder->waitFor(allHandled));
    rig.stop();
    const HarvestRun::Totals first = rig.recorder->totals.saves;
    EXPECT_GT(first.pagesSaved, 0);
    EXPECT_EQ(first.failed, 0);
    const QStringList savedFirst = filesIn(pages) + filesIn(pictures);

    rig.start(plans, settings);
    ASSERT_TRUE(rig.recorder->waitFor(allHandled));
    rig.stop();
    const HarvestRun::Totals second = rig.recorder->totals.saves;
    EXPECT_EQ(second.saved, 0);
    EXPECT_EQ(second.alreadySaved, first.saved);
    EXPECT_EQ(filesIn(pages) + filesIn(pictures), savedFirst);

    const HarvestRun::Totals run = rig.runOnce(plans);
    EXPECT_EQ(run.saved, 0);
    EXPECT_EQ(run.alreadySaved, first.saved);
    EXPECT_EQ(filesIn(pages) + filesIn(pictures), savedFirst);
}

TEST(KeeperTest, PageWaitsForPictureWrittenAfterIt)
{
    const QString page = QStringLiteral("http://127.0.0.1:18437/gbk.html");
    const QString picture = QStringLiteral("http://127.0.0.1:18437/gbk-pic.jpg");
    KeeperRig rig(kPagesFixture);
    const QString pages = rig.saveFolder(QStringLiteral("pages"));
    ASSERT_TRUE(QDir().mkpath(pages));
    rig.start({plan(QStringLiteral("网页"), 0, QStringLiteral("*.htm(html)"), pages)},
              KeepSettings{150ms, 10000ms, 5000ms});
    rig.write(page, rig.bytesOf(page));
    std::this_thread::sleep_for(6 * kQuick.settle); // the page settles and waits
    rig.write(picture, rig.bytesOf(picture));
    ASSERT_TRUE(rig.recorder->waitFor([](const Recorder& r) { return r.handled() >= 1; }));
    rig.stop();
    EXPECT_EQ(rig.recorder->totals.saves.pagesSaved, 1);
    const QStringList archives = filesIn(pages);
    ASSERT_EQ(archives.size(), 1);
    const QByteArray archive = fileBytes(pages + u'/' + archives.front());
    EXPECT_TRUE(archive.contains("Content-Location:" + picture.toUtf8())) << archive.left(2000).toStdString();
}

TEST(KeeperTest, FailedSaveIsCountedAndLaterEntriesSave)
{
    KeeperRig rig;
    const QString saved = rig.saveFolder(QStringLiteral("saved"));
    // Its folder not there yet: as a full or read-only disk, every save fails.
    rig.start({plan(QStringLiteral("everything"), 1, {}, saved)});
    rig.write(kIcon, rig.bytesOf(kIcon));
    ASSERT_TRUE(rig.recorder->waitFor([](const Recorder& r) { return r.totals.saves.failed == 1; }));
    ASSERT_TRUE(QDir().mkpath(saved));
    rig.write(kPhoto, rig.bytesOf(kPhoto));
    ASSERT_TRUE(rig.recorder->waitFor([](const Recorder& r) { return r.totals.saves.saved == 1; }));
    rig.stop();
    ASSERT_EQ(filesIn(saved).size(), 1);
    EXPECT_TRUE(filesIn(saved).front().startsWith(QStringLiteral("photo"))) << filesIn(saved).front().toStdString();
    EXPECT_EQ(rig.recorder->totals.saves.failed, 1);
}

TEST(KeeperTest, CachesPastTheWatchLimitAreNotKept)
{
    KeeperRig rig;
    QTemporaryDir other;
    ASSERT_TRUE(QDir().mkpath(other.path() + QStringLiteral("/Cache_Data")));
    const QString saved = rig.saveFolder(QStringLiteral("saved"));
    ASSERT_TRUE(QDir().mkpath(saved));
    KeepSettings oneWatch = kQuick;
    oneWatch.maxWatches = 1;
    rig.start({plan(QStringLiteral("everything"), 1, {}, saved)}, oneWatch,
              {{CacheLocation::Kind::ChromiumSimple, rig.cacheFolder(), QStringLiteral("Chromium"),
                QStringLiteral("Default")},
               {CacheLocation::Kind::ChromiumSimple, other.path() + QStringLiteral("/Cache_Data"),
                QStringLiteral("Chromium"), QStringLiteral("Profile 1")}});
    EXPECT_EQ(rig.recorder->kept, QStringList{QStringLiteral("Chromium · Default")});
    ASSERT_EQ(rig.recorder->notKept.size(), 1);
    EXPECT_TRUE(rig.recorder->notKept.front().contains(QStringLiteral("Chromium · Profile 1")));
    EXPECT_TRUE(rig.recorder->notKept.front().contains(QStringLiteral("fs.inotify.max_user_watches")));
    // The cache kept is kept still.
    rig.write(kIcon, rig.bytesOf(kIcon));
    ASSERT_TRUE(rig.recorder->waitFor([](const Recorder& r) { return r.totals.saves.saved == 1; }));
}

} // namespace
