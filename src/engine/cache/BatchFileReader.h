#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <sys/stat.h>
#include <vector>

// Reads the status and the first bytes of many files of one folder. Where the kernel lets this
// process use io_uring, a batch of files is opened with one system call and read and closed with
// another, leaving one status call per file instead of four calls; where calls are dear (a virtual
// machine) that takes a quarter off a cache walk. Elsewhere it reads one file at a time, on a machine of
// several cores on two threads: a helper thread reads the batch the walk will want next while the walk
// works through the one it has, and the walk joins in when it gets there first. Either way only regular
// files are read: the status is taken from the opened file before anything is read from it, so a FIFO or
// device put in place of a file is never read, and the status belongs to the bytes read.
class BatchFileReader
{
public:
    enum class Mechanism
    {
        Best,   // io_uring where available, else Shared on a machine of several cores, else Plain
        Shared, // one file at a time with plain calls, on a helper thread and the caller's both
        Plain,  // one file at a time, with open, fstat, pread and close, on the caller's thread
    };

    // Files per batch: what one read() takes at most.
    static constexpr int kBatchSize = 64;

    struct File
    {
        int error = 0;     // errno of the open or status call that failed; 0 when both succeeded
        struct stat status // of the opened file; st_mode 0 when it could not be opened
        {};
        QByteArray head; // the first min(size, headBytes) bytes of a regular file, fewer on a short read
    };

    // Where a test makes the ring fail the ways a kernel can: each hook, when set, sees the call or
    // completion first. Counted from 1 over the reader's life.
    struct RingFaults
    {
        // Returns a negative errno to give instead of submitting, 0 to submit.
        std::function<int(int submission)> submit;
        // Returns a negative errno to give instead of waiting for the next completion, 0 to wait.
        std::function<int(int wait)> wait;
        // Runs between taking the status of a batch's files and reading them.
        std::function<void()> afterStatus;
        // The result a completion hands on, given the one the kernel gave.
        std::function<int(int completion, int result)> completion;
    };

    // How long the ring may keep a batch's reads before it counts as failed and the walk goes on one file
    // at a time: far beyond any local disk, short enough that a hung request cannot hold a walk for good.
    static constexpr int kRingTimeoutSeconds = 30;

    // `folderFd`: an open folder, or AT_FDCWD for names that are paths. `headBytes`: how much of each
    // regular file to read from its start. `faults`: for tests of the ring's failures; must outlive this.
    BatchFileReader(int folderFd, qint64 headBytes, Mechanism mechanism = Mechanism::Best,
                    const RingFaults* faults = nullptr);
    ~BatchFileReader();
    BatchFileReader(const BatchFileReader&) = delete;
    BatchFileReader& operator=(const BatchFileReader&) = delete;

    // One File for each of `names` (at most kBatchSize), in their order.
    std::vector<File> read(const QStringList& names);

    // Says that read() will be asked for `names` next, so that the helper thread, where there is one,
    // starts on them now. A read() of other names drops what was read ahead.
    void readAhead(const QStringList& names);

    // Whether batches go through io_uring.
    bool batched() const { return ring_ != nullptr; }
    // Whether readAhead() does anything: reads are shared with a helper thread.
    bool readsAhead() const { return shared_ && !ring_; }

private:
    struct Ring;
    class Helper;

    std::vector<File> readPlain(const QStringList& names) const;
    std::vector<File> readBatched(const QStringList& names);
    void readOne(const QString& name, File& file) const;
    // The helper thread, started on first use.
    Helper& helper();

    const int folderFd_;
    const qint64 headBytes_;
    const bool shared_;
    const RingFaults* const faults_;
    std::unique_ptr<Ring> ring_;
    std::unique_ptr<Helper> helper_; // started by the first read, when shared_
};
