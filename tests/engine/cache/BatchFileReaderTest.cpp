// Reading the status and start of many files at once: through io_uring, one file at a time on two threads,
// and one file at a time on the caller's.

#include "engine/cache/BatchFileReader.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cerrno>
#include <fcntl.h>
#include <functional>
#include <future>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

constexpr qint64 kHeadBytes = 100;

class BatchFileReaderTest : public ::testing::TestWithParam<BatchFileReader::Mechanism>
{
protected:
    void write(const QString& name, const QByteArray& bytes)
    {
        QFile file(folder_.filePath(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        ASSERT_EQ(file.write(bytes), bytes.size());
    }

    QTemporaryDir folder_;
};

TEST_P(BatchFileReaderTest, ReadsTheStartOfRegularFilesOnlyWithTheirOwnStatus)
{
    write("small", "whole file");
    write("large", QByteArray(1000, 'x'));
    write("empty", "");
    ASSERT_EQ(::mkfifo(QFile::encodeName(folder_.filePath("fifo")).constData(), 0600), 0);
    ASSERT_TRUE(QDir(folder_.path()).mkdir("folder"));
    const int folderFd = ::open(QFile::encodeName(folder_.path()).constData(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(folderFd, 0);

    const QStringList names{"small", "missing", "large", "fifo", "folder", "empty"};
    BatchFileReader reader(folderFd, kHeadBytes, GetParam());
    if (GetParam() != BatchFileReader::Mechanism::Best) {
        EXPECT_FALSE(reader.batched());
    }
    // A FIFO with no writer must not hold the walk up.
    auto reading = std::async(std::launch::async, [&] { return reader.read(names); });
    ASSERT_EQ(reading.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    const std::vector<BatchFileReader::File> files = reading.get();
    ::close(folderFd);

    ASSERT_EQ(files.size(), size_t(names.size()));
    EXPECT_EQ(files[0].error, 0);
    EXPECT_EQ(files[0].head, "whole file");
    EXPECT_EQ(files[0].status.st_size, 10);
    struct stat expected;
    ASSERT_EQ(::stat(QFile::encodeName(folder_.filePath("small")).constData(), &expected), 0);
    EXPECT_EQ(files[0].status.st_ino, expected.st_ino);
    EXPECT_EQ(files[0].status.st_dev, expected.st_dev);
    EXPECT_EQ(files[0].status.st_mtim.tv_nsec, expected.st_mtim.tv_nsec);

    EXPECT_EQ(files[1].error, ENOENT);
    EXPECT_EQ(files[1].status.st_mode, 0u);
    EXPECT_EQ(files[2].head, QByteArray(kHeadBytes, 'x'));
    EXPECT_EQ(files[2].status.st_size, 1000);
    EXPECT_TRUE(S_ISFIFO(files[3].status.st_mode));
    EXPECT_TRUE(files[3].head.isEmpty());
    EXPECT_TRUE(S_ISDIR(files[4].status.st_mode));
    EXPECT_TRUE(files[4].head.isEmpty());
    EXPECT_EQ(files[5].error, 0);
    EXPECT_TRUE(S_ISREG(files[5].status.st_mode));
    EXPECT_TRUE(files[5].head.isEmpty());
}

TEST_P(BatchFileReaderTest, TakesOneBatchAtATimeAndLeavesNoFileOpen)
{
    QStringList names;
    for (int i = 0; i < BatchFileReader::kBatchSize + 10; ++i) {
        names << QString::number(i);
        write(names.last(), QByteArray::number(i));
    }
    const int folderFd = ::open(QFile::encodeName(folder_.path()).constData(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(folderFd, 0);
    const auto openFiles = [] { return QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files).size(); };
    const qsizetype before = openFiles();
    std::vector<BatchFileReader::File> files;
    {
        BatchFileReader reader(folderFd, kHeadBytes, GetParam());
        for (int round = 0; round < 3; ++round)
            files = reader.read(names);
    }
    EXPECT_EQ(openFiles(), before);
    ::close(folderFd);
    ASSERT_EQ(files.size(), size_t(BatchFileReader::kBatchSize));
    EXPECT_EQ(files.back().head, QByteArray::number(BatchFileReader::kBatchSize - 1));
}

// The walk's way: each batch asked for after the helper was told of it; and the other ways a caller may
// go, which must give the same files.
TEST_P(BatchFileReaderTest, GivesTheFilesAskedForWhateverWasReadAhead)
{
    QStringList names;
    for (int i = 0; i < 3 * BatchFileReader::kBatchSize; ++i) {
        names << QString::number(i);
        write(names.last(), "file " + QByteArray::number(i));
    }
    const auto batch = [&](int number) {
        return names.sliced(number * BatchFileReader::kBatchSize, BatchFileReader::kBatchSize);
    };
    const auto expectFiles = [](const std::vector<BatchFileReader::File>& files, const QStringList& asked) {
        ASSERT_EQ(files.size(), size_t(asked.size()));
        for (size_t i = 0; i < files.size(); ++i) {
            EXPECT_EQ(files[i].error, 0);
            EXPECT_EQ(files[i].head, "file " + asked[qsizetype(i)].toLatin1());
        }
    };
    const int folderFd = ::open(QFile::encodeName(folder_.path()).constData(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(folderFd, 0);
    const auto openFiles = [] { return QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files).size(); };
    const qsizetype before = openFiles();
    {
        BatchFileReader reader(folderFd, kHeadBytes, GetParam());
        for (int round = 0; round < 20; ++round) {
            // In order, each read ahead as the walk does.
            expectFiles(reader.read(batch(0)), batch(0));
            reader.readAhead(batch(1));
            expectFiles(reader.read(batch(1)), batch(1));
            // Another batch than the one read ahead; one read ahead twice over.
            reader.readAhead(batch(2));
            expectFiles(reader.read(batch(0)), batch(0));
            reader.readAhead(batch(1));
            reader.readAhead(batch(2));
            expectFiles(reader.read(batch(2)), batch(2));
        }
        // Dropped with a batch read ahead and never asked for.
        reader.readAhead(batch(1));
    }
    EXPECT_EQ(openFiles(), before);
    ::close(folderFd);
}

// The ring failing the ways a kernel can, through the reader's fault hooks: every time the walk still gets
// the files as they are, nothing stays open, no descriptor is closed twice (which would close another
// file's), and nothing the kernel may still write into is freed.
TEST(BatchFileReaderFaultTest, ARingThatFailsPartWayLosesNoFileAndClosesEachOnce)
{
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    constexpr int kFiles = 8;
    QStringList names;
    for (int i = 0; i < kFiles; ++i) {
        names << "file" + QString::number(i);
        QFile file(folder.filePath(names.last()));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("contents of " + names.last().toLatin1());
    }
    const int folderFd = ::open(QFile::encodeName(folder.path()).constData(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(folderFd, 0);
    {
        BatchFileReader probe(folderFd, kHeadBytes);
        if (!probe.batched()) {
            ::close(folderFd);
            GTEST_SKIP() << "this kernel refuses io_uring to this process";
        }
    }
    const auto openFiles = [] { return QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files).size(); };

    // Descriptors the test opens while the reader runs, each taking the lowest number free: the one a
    // close has just released. A second close of that number would close one of these.
    std::vector<int> bystanders;
    const auto openBystander = [&] { bystanders.push_back(::open("/dev/null", O_RDONLY | O_CLOEXEC)); };

    struct Case
    {
        const char* name;
        std::function<void(BatchFileReader::RingFaults&)> arrange;
        bool shrinks = false; // the first file is emptied between its status and its read
    };
    const Case cases[] = {
        {"submitting the opens fails", [](auto& f) { f.submit = [](int n) { return n == 1 ? -EIO : 0; }; }},
        {"submitting the reads fails", [](auto& f) { f.submit = [](int n) { return n == 2 ? -EIO : 0; }; }},
        {"submitting is busy a while", [](auto& f) { f.submit = [](int n) { return n % 2 == 1 ? -EBUSY : 0; }; }},
        {"waiting fails with the opens in flight", [](auto& f) { f.wait = [](int n) { return n == 1 ? -EIO : 0; }; }},
        {"waiting fails with the reads in flight",
         [](auto& f) { f.wait = [](int n) { return n == kFiles + 1 ? -EIO : 0; }; }},
        {"closes report a failure",
         [&](auto& f) {
             f.completion = [&](int n, int result) {
                 if (n <= kFiles || result != 0)
                     return result;
                 openBystander(); // the kernel has released the descriptor already
                 return -EIO;
             };
         }},
        // The first batch's reads: its completions after the opens, which the second batch's opens follow.
        {"reads fail",
         [](auto& f) {
             f.completion = [](int n, int result) {
                 return n > kFiles && n <= 3 * kFiles && result > 0 ? -EIO : result;
             };
         }},
        {"a file shrinks before its read", [](auto&) {}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BatchFileReader::RingFaults faults;
        c.arrange(faults);
        if (c.shrinks)
            faults.afterStatus = [&] { ASSERT_TRUE(QFile::resize(folder.filePath(names[0]), 0)); };
        const qsizetype before = openFiles();
        std::vector<BatchFileReader::File> files;
        {
            BatchFileReader reader(folderFd, kHeadBytes, BatchFileReader::Mechanism::Best, &faults);
            auto reading = std::async(std::launch::async, [&] { return reader.read(names); });
            ASSERT_EQ(reading.wait_for(std::chrono::seconds(20)), std::future_status::ready);
            files = reading.get();
            // A second batch, through the ring or, once it failed, one file at a time.
            EXPECT_EQ(reader.read(names).size(), size_t(kFiles));
        }
        for (const int bystander : bystanders) {
            EXPECT_NE(::fcntl(bystander, F_GETFD), -1) << "descriptor " << bystander << " was closed twice";
            ::close(bystander);
        }
        EXPECT_EQ(openFiles(), before) << "a descriptor stayed open";
        bystanders.clear();
        ASSERT_EQ(files.size(), size_t(kFiles));
        for (int i = c.shrinks ? 1 : 0; i < kFiles; ++i) {
            const QByteArray expected = "contents of " + names[i].toLatin1();
            if (QByteArray(c.name) == "reads fail") {
                EXPECT_TRUE(files[size_t(i)].head.isEmpty());
                EXPECT_EQ(files[size_t(i)].error, EIO);
            } else {
                EXPECT_EQ(files[size_t(i)].head, expected) << i;
                EXPECT_EQ(files[size_t(i)].error, 0) << i;
            }
        }
        if (c.shrinks) {
            EXPECT_TRUE(files[0].head.isEmpty());
            QFile refill(folder.filePath(names[0]));
            ASSERT_TRUE(refill.open(QIODevice::WriteOnly));
            refill.write("contents of " + names[0].toLatin1());
        }
    }
    ::close(folderFd);
}

std::string mechanismName(const ::testing::TestParamInfo<BatchFileReader::Mechanism>& info)
{
    // In the order of the enumeration.
    const char* const names[] = {"Best", "TwoThreads", "OneAtATime"};
    return names[int(info.param)];
}

INSTANTIATE_TEST_SUITE_P(Mechanisms, BatchFileReaderTest,
                         ::testing::Values(BatchFileReader::Mechanism::Best, BatchFileReader::Mechanism::Shared,
                                           BatchFileReader::Mechanism::Plain),
                         mechanismName);

} // namespace
