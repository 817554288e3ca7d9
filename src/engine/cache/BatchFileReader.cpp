#include "engine/cache/BatchFileReader.h"

#include "engine/cache/FileDescriptor.h"
#include "util/WorkerThread.h"

#include <QFile>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <fcntl.h>
#include <limits>
#include <mutex>
#include <new>
#include <thread>
#include <unistd.h>

#ifdef WEBGLEANER_HAVE_IO_URING
#include <liburing.h>
#endif

namespace
{

constexpr int kOpenFlags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;

// Whether reads one file at a time are shared with a helper thread.
bool sharesReads(BatchFileReader::Mechanism mechanism)
{
    return mechanism == BatchFileReader::Mechanism::Shared ||
           (mechanism == BatchFileReader::Mechanism::Best && std::thread::hardware_concurrency() > 1);
}

} // namespace

// The helper thread, and the batch it and the caller read together: each takes the next file not yet
// taken until none is left, so neither waits while there is a file to read.
class BatchFileReader::Helper
{
public:
    explicit Helper(const BatchFileReader& reader) : reader_(reader), thread_(QStringLiteral("cache reader"), nullptr)
    {
        thread_.start([this] { loop(); });
    }

    ~Helper()
    {
        {
            const std::lock_guard lock(mutex_);
            stopping_ = true;
            if (batch_)
                batch_->next.store(std::numeric_limits<qsizetype>::max() / 2);
        }
        changed_.notify_all();
        thread_.requestStop();
        thread_.wait();
    }

    Helper(const Helper&) = delete;
    Helper& operator=(const Helper&) = delete;

    // Starts the helper on `names`, dropping a batch offered before and not taken.
    void offer(const QStringList& names)
    {
        std::unique_lock lock(mutex_);
        drop(lock);
        start(names);
    }

    // The files of `names`: the batch offered last when it is that one, else a new one, read by both.
    std::vector<File> take(const QStringList& names)
    {
        std::unique_lock lock(mutex_);
        if (!batch_ || batch_->names != names) {
            drop(lock);
            start(names);
        }
        Batch& batch = *batch_;
        lock.unlock();
        share(batch);
        lock.lock();
        settle(lock);
        std::vector<File> files = std::move(batch.files);
        batch_.reset();
        return files;
    }

private:
    struct Batch
    {
        explicit Batch(const QStringList& fileNames) : names(fileNames), files(size_t(fileNames.size())) {}

        const QStringList names; // const: both threads read it, and a non-const access would copy it
        std::vector<File> files;
        std::atomic<qsizetype> next{0}; // the next file to take
    };

    // Called with the lock held and no batch.
    void start(const QStringList& names)
    {
        batch_ = std::make_unique<Batch>(names);
        offered_ = true;
        changed_.notify_all();
    }

    // Reads files of `batch` until none is left to take.
    void share(Batch& batch) const
    {
        const qsizetype count = batch.names.size();
        for (qsizetype i = batch.next.fetch_add(1, std::memory_order_relaxed); i < count;
             i = batch.next.fetch_add(1, std::memory_order_relaxed))
            reader_.readOne(batch.names[i], batch.files[size_t(i)]);
    }

    // Waits until the helper has left the batch, withdrawing it when the helper has not taken it up yet.
    void settle(std::unique_lock<std::mutex>& lock)
    {
        offered_ = false;
        changed_.wait(lock, [this] { return !working_; });
    }

    // Ends the batch there is, taking no more of its files.
    void drop(std::unique_lock<std::mutex>& lock)
    {
        if (!batch_)
            return;
        batch_->next.store(batch_->names.size());
        settle(lock);
        batch_.reset();
    }

    void loop()
    {
        std::unique_lock lock(mutex_);
        for (;;) {
            changed_.wait(lock, [this] { return stopping_ || offered_; });
            if (stopping_)
                return;
            offered_ = false;
            working_ = true;
            Batch* const batch = batch_.get();
            lock.unlock();
            WorkerThread::guarded(nullptr, QStringLiteral("cache reader"), [&] { share(*batch); });
            lock.lock();
            working_ = false;
            changed_.notify_all();
        }
    }

    const BatchFileReader& reader_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::unique_ptr<Batch> batch_;
    bool offered_ = false; // batch_ waits for the helper to take it up
    bool working_ = false; // the helper reads files of batch_
    bool stopping_ = false;
    WorkerThread thread_;
};

#ifdef WEBGLEANER_HAVE_IO_URING

namespace
{

// Tags in the user data of a read and of a close, beside the file's index.
constexpr quint64 kReadTag = quint64(1) << 32;
// Submissions refused as busy in a row, with nothing of ours to complete meanwhile, before the ring
// counts as failed.
constexpr int kMaxBusySubmissions = 1000;
constexpr quint64 kCloseTag = quint64(2) << 32;

// What one batch lends the kernel: the names it opens, the buffers it reads into, the descriptors it
// closes. None of it may be freed while a request is in flight.
struct RingBatch
{
    explicit RingBatch(const QStringList& names) : files(size_t(names.size())), fds(size_t(names.size()), -1)
    {
        paths.reserve(size_t(names.size()));
        for (const QString& name : names)
            paths.push_back(QFile::encodeName(name));
    }

    std::vector<QByteArray> paths;
    std::vector<BatchFileReader::File> files;
    std::vector<int> fds;
};

} // namespace

struct BatchFileReader::Ring
{
    io_uring ring{};
    bool usable = false;
    const RingFaults* faults = nullptr;
    int submissions = 0;
    int waits = 0;
    int completions = 0;

    explicit Ring(const RingFaults* ringFaults) : faults(ringFaults)
    {
        // Two entries a file (a read and its close), and room to spare for a timed wait on kernels that
        // take an entry for it.
        usable = io_uring_queue_init(4 * kBatchSize, &ring, 0) == 0;
    }
    ~Ring()
    {
        if (usable)
            io_uring_queue_exit(&ring);
    }
    Ring(const Ring&) = delete;
    Ring& operator=(const Ring&) = delete;

    // A free submission entry; nullptr when the queue is full, which a batch never fills.
    io_uring_sqe* entry() { return io_uring_get_sqe(&ring); }

    int submit()
    {
        ++submissions;
        if (faults && faults->submit) {
            if (const int error = faults->submit(submissions); error < 0)
                return error;
        }
        return io_uring_submit(&ring);
    }

    int wait(io_uring_cqe** completion)
    {
        ++waits;
        if (faults && faults->wait) {
            if (const int error = faults->wait(waits); error < 0)
                return error;
        }
        __kernel_timespec timeout{kRingTimeoutSeconds, 0};
        return io_uring_wait_cqe_timeout(&ring, completion, &timeout);
    }

    // Submits the `queued` entries and hands each completion to `handle(user data, result)`. A
    // submission that takes only part of them is repeated for the rest. False when the ring failed; then
    // `inFlight` is how many requests the kernel may still be carrying out.
    template <typename Handle>
    bool complete(unsigned queued, unsigned& inFlight, Handle handle)
    {
        unsigned submitted = 0;
        unsigned seen = 0;
        int busy = 0;
        inFlight = 0;
        while (seen < queued) {
            if (submitted < queued) {
                const int taken = submit();
                if (taken == -EINTR || taken == -EAGAIN || taken == -EBUSY) {
                    // Busy with completions not yet seen: take one first, else try again, a while.
                    if (seen == submitted) {
                        if (++busy > kMaxBusySubmissions)
                            return false;
                        std::this_thread::yield();
                        continue;
                    }
                } else if (taken < 0 || (taken == 0 && seen == submitted)) {
                    inFlight = submitted - seen;
                    return false;
                } else {
                    submitted += unsigned(taken);
                }
            }
            if (seen == submitted)
                continue;
            io_uring_cqe* completion = nullptr;
            const int waited = wait(&completion);
            if (waited == -EINTR)
                continue;
            if (waited < 0) {
                inFlight = submitted - seen;
                return false;
            }
            int result = completion->res;
            ++completions;
            if (faults && faults->completion)
                result = faults->completion(completions, result);
            handle(completion->user_data, result);
            io_uring_cqe_seen(&ring, completion);
            ++seen;
        }
        return true;
    }

    // After a failure: waits (bounded) for the requests still in flight, handing on their completions,
    // so that nothing they use is freed under them. False when they could not all be seen.
    template <typename Handle>
    bool drain(unsigned inFlight, Handle handle)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kRingTimeoutSeconds);
        while (inFlight > 0) {
            io_uring_cqe* completion = nullptr;
            const auto left =
                std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return false;
            __kernel_timespec timeout{left.count() / 1000000000, left.count() % 1000000000};
            const int waited = io_uring_wait_cqe_timeout(&ring, &completion, &timeout);
            if (waited == -EINTR)
                continue;
            if (waited < 0)
                return false;
            handle(completion->user_data, completion->res);
            io_uring_cqe_seen(&ring, completion);
            --inFlight;
        }
        return true;
    }
};

BatchFileReader::BatchFileReader(int folderFd, qint64 headBytes, Mechanism mechanism, const RingFaults* faults)
    : folderFd_(folderFd), headBytes_(std::max<qint64>(0, headBytes)), shared_(sharesReads(mechanism)), faults_(faults)
{
    if (mechanism == Mechanism::Best) {
        auto ring = std::make_unique<Ring>(faults);
        if (ring->usable)
            ring_ = std::move(ring);
    }
}

std::vector<BatchFileReader::File> BatchFileReader::readBatched(const QStringList& names)
{
    const int count = int(names.size());
    auto batch = std::make_unique<RingBatch>(names);
    std::vector<File>& files = batch->files;
    std::vector<int>& fds = batch->fds;
    Ring& ring = *ring_;

    const auto opened = [&](quint64 data, int result) {
        if (data >= quint64(count))
            return;
        if (result >= 0)
            fds[data] = result;
        else
            files[data].error = -result;
    };
    const auto readOrClosed = [&](quint64 data, int result) {
        const size_t i = size_t(data & 0xFFFFFFFF);
        if (i >= size_t(count))
            return;
        if (data & kReadTag) {
            if (result >= 0 && result <= files[i].head.size()) {
                files[i].head.truncate(result);
            } else {
                files[i].head.clear();
                files[i].error = result < 0 ? -result : EIO;
            }
        } else if (result != -ECANCELED) {
            // Closed, or failed while closing: either way the descriptor is released (a close that fails
            // with EIO has let go of it all the same), and closing it again could close another file's.
            // Only a close cancelled by its failed read is left to closeAll.
            fds[i] = -1;
        }
    };
    const auto closeAll = [&] {
        for (int& fd : fds) {
            if (fd >= 0)
                ::close(std::exchange(fd, -1));
        }
    };
    // The ring failed part-way: what is in flight is seen out before the batch goes, and the rest of this
    // walk reads one file at a time.
    const auto giveUp = [&](unsigned inFlight, const auto& handle) {
        if (!ring.drain(inFlight, handle)) {
            // Requests the kernel may still carry out would write into the batch's buffers: they are kept
            // for the rest of the program rather than freed under it. It takes a broken ring, once.
            static std::mutex keptMutex;
            static std::vector<std::unique_ptr<RingBatch>> kept;
            const std::lock_guard lock(keptMutex);
            for (int& fd : fds)
                fd = -1; // possibly closed by a request still in flight: never closed here
            kept.push_back(std::move(batch));
        } else {
            closeAll();
        }
        ring_.reset();
        return readPlain(names);
    };

    // Every file opened at once.
    for (int i = 0; i < count; ++i) {
        io_uring_sqe* entry = ring.entry();
        if (entry == nullptr)
            return giveUp(0, opened); // nothing submitted yet
        io_uring_prep_openat(entry, folderFd_, batch->paths[size_t(i)].constData(), kOpenFlags, 0);
        io_uring_sqe_set_data64(entry, quint64(i));
    }
    unsigned inFlight = 0;
    if (!ring.complete(unsigned(count), inFlight, opened))
        return giveUp(inFlight, opened);

    // The status of each opened file, from the file itself. One plain call each: io_uring hands a status
    // request to a worker thread, which costs more than the call.
    for (int i = 0; i < count; ++i) {
        if (fds[size_t(i)] >= 0 && ::fstat(fds[size_t(i)], &files[size_t(i)].status) != 0) {
            files[size_t(i)].error = errno;
            files[size_t(i)].status.st_mode = 0;
        }
    }
    if (faults_ && faults_->afterStatus)
        faults_->afterStatus();

    // The start of each regular file read, and every file closed after its read.
    unsigned queued = 0;
    for (int i = 0; i < count; ++i) {
        const int fd = fds[size_t(i)];
        if (fd < 0)
            continue;
        File& file = files[size_t(i)];
        const qint64 wanted = std::min<qint64>(file.status.st_size, headBytes_);
        const bool reads = file.error == 0 && S_ISREG(file.status.st_mode) && wanted > 0;
        io_uring_sqe* read = reads ? ring.entry() : nullptr;
        io_uring_sqe* close = ring.entry();
        if ((reads && read == nullptr) || close == nullptr) {
            // Never expected (the queue holds two entries a file); what is queued stays unsubmitted.
            closeAll();
            ring_.reset();
            return readPlain(names);
        }
        if (reads) {
            file.head.resize(wanted);
            io_uring_prep_read(read, fd, file.head.data(), unsigned(wanted), 0);
            io_uring_sqe_set_data64(read, kReadTag | quint64(i));
            // A failed or short read cancels the close linked to it; that one is closed below.
            read->flags |= IOSQE_IO_LINK;
            ++queued;
        }
        io_uring_prep_close(close, fd);
        io_uring_sqe_set_data64(close, kCloseTag | quint64(i));
        ++queued;
    }
    if (!ring.complete(queued, inFlight, readOrClosed))
        return giveUp(inFlight, readOrClosed);
    closeAll(); // the closes cancelled by a short or failed read
    for (File& file : files) {
        if (file.error == 0 && !S_ISREG(file.status.st_mode))
            file.head.clear();
    }
    return std::move(files);
}

#else

struct BatchFileReader::Ring
{};

BatchFileReader::BatchFileReader(int folderFd, qint64 headBytes, Mechanism mechanism, const RingFaults* faults)
    : folderFd_(folderFd), headBytes_(std::max<qint64>(0, headBytes)), shared_(sharesReads(mechanism)), faults_(faults)
{}

std::vector<BatchFileReader::File> BatchFileReader::readBatched(const QStringList& names)
{
    return readPlain(names);
}

#endif

BatchFileReader::~BatchFileReader() = default;

std::vector<BatchFileReader::File> BatchFileReader::read(const QStringList& names)
{
    const QStringList batch = names.first(std::min<qsizetype>(names.size(), kBatchSize));
    if (ring_)
        return readBatched(batch);
    return shared_ ? helper().take(batch) : readPlain(batch);
}

void BatchFileReader::readAhead(const QStringList& names)
{
    if (readsAhead() && !names.isEmpty())
        helper().offer(names.first(std::min<qsizetype>(names.size(), kBatchSize)));
}

BatchFileReader::Helper& BatchFileReader::helper()
{
    if (!helper_)
        helper_ = std::make_unique<Helper>(*this);
    return *helper_;
}

std::vector<BatchFileReader::File> BatchFileReader::readPlain(const QStringList& names) const
{
    std::vector<File> files(size_t(names.size()));
    for (qsizetype i = 0; i < names.size(); ++i)
        readOne(names[i], files[size_t(i)]);
    return files;
}

void BatchFileReader::readOne(const QString& name, File& file) const
{
    try {
        const FileDescriptor opened = FileDescriptor::openRegular(name, file.status, folderFd_);
        if (!opened.isOpen()) {
            // Opened but not regular: its status tells what it is, and nothing is read.
            file.error = file.status.st_mode != 0 ? 0 : errno;
            return;
        }
        file.head.resize(std::min<qint64>(file.status.st_size, headBytes_));
        file.head.truncate(
            std::max<qint64>(0, FileDescriptor::readAt(opened.get(), file.head.data(), file.head.size(), 0)));
    } catch (const std::bad_alloc&) {
        file = File{};
        file.error = ENOMEM;
    }
}
