#include "util/WorkerThread.h"

#include "util/FailureLog.h"

#include <QByteArray>
#include <exception>
#include <pthread.h>

WorkerThread::WorkerThread(QString name, FailureLog* log) : name_(std::move(name)), log_(log) {}

WorkerThread::~WorkerThread()
{
    requestStop();
    wait();
}

void WorkerThread::start(std::function<void()> body)
{
    if (thread_.joinable())
        return;
    running_ = true;
    thread_ = std::thread([this, body = std::move(body)] {
        // The system keeps 15 bytes and a NUL; a longer name is refused whole.
        const QByteArray name = name_.toUtf8().left(15);
        ::pthread_setname_np(::pthread_self(), name.constData());
        guarded(log_, name_, body);
        running_.store(false, std::memory_order_release);
    });
}

void WorkerThread::requestStop()
{
    {
        const std::lock_guard lock(mutex_);
        stopRequested_.store(true, std::memory_order_release);
    }
    stopped_.notify_all();
}

void WorkerThread::wait()
{
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id())
        thread_.join();
}

bool WorkerThread::pause(std::chrono::milliseconds duration)
{
    std::unique_lock lock(mutex_);
    return !stopped_.wait_for(lock, duration, [this] { return stopRequested(); });
}

bool WorkerThread::guarded(FailureLog* log, const QString& what, const std::function<void()>& unit) noexcept
{
    QString message;
    try {
        unit();
        return true;
    } catch (const std::exception& error) {
        message = QString::fromLocal8Bit(error.what());
    } catch (...) {
        message = QStringLiteral("unknown exception");
    }
    if (log != nullptr) {
        try {
            log->logFailure(what + QStringLiteral(": ") + message);
        } catch (...) {
            // Nothing is left to report it to.
        }
    }
    return false;
}
