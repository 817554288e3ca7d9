#pragma once

#include "util/BackgroundWorker.h"

#include <QString>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

class FailureLog;

// One thread of the engine: named (as ps and debuggers show it), stoppable, joined before it is
// destroyed, and never ended by an exception. The body asks stopRequested() (or pauses through pause(),
// which a stop cuts short) and wraps each unit of work (an entry, a job) in guarded(), the one barrier
// that logs an exception and lets the loop go on with the next unit.
class WorkerThread final : public BackgroundWorker
{
public:
    // `name` is cut to the 15 bytes the system keeps. `log` (may be null) receives what the barrier
    // catches; it must outlive the thread.
    WorkerThread(QString name, FailureLog* log);
    ~WorkerThread() override;

    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    // Runs `body` on a new thread, inside the barrier. Once only.
    void start(std::function<void()> body);

    // Returns at once; the body sees it at its next check or pause.
    void requestStop() override;
    // Joins the thread; returns at once when it was never started (or from the thread itself).
    void wait() override;

    bool stopRequested() const { return stopRequested_.load(std::memory_order_acquire); }
    bool isRunning() const { return running_.load(std::memory_order_acquire); }

    // Sleeps for `duration`, or less when a stop is requested meanwhile; false when stopped.
    bool pause(std::chrono::milliseconds duration);

    // Runs `unit`; an exception it throws is logged as "<what>: <message>" and goes no further. False
    // when `unit` threw.
    static bool guarded(FailureLog* log, const QString& what, const std::function<void()>& unit) noexcept;

private:
    const QString name_;
    FailureLog* const log_;
    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> running_{false};
    std::mutex mutex_;
    std::condition_variable stopped_;
    std::thread thread_;
};
