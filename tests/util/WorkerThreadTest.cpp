#include "util/WorkerThread.h"

#include "util/FailureLog.h"

#include <QStringList>
#include <atomic>
#include <mutex>
#include <pthread.h>
#include <stdexcept>

#include <gtest/gtest.h>

namespace
{

class RecordingLog : public FailureLog
{
public:
    void logFailure(const QString& message) noexcept override
    {
        const std::lock_guard lock(mutex_);
        lines << message;
    }

    std::mutex mutex_;
    QStringList lines;
};

TEST(WorkerThreadTest, AnExceptionIsLoggedAndTheLoopGoesOn)
{
    RecordingLog log;
    std::atomic<int> unitsDone{0};
    char name[16] = {};
    {
        WorkerThread thread(QStringLiteral("a name longer than fifteen bytes"), &log);
        thread.start([&] {
            ::pthread_getname_np(::pthread_self(), name, sizeof name);
            for (int unit = 0; unit < 3; ++unit) {
                WorkerThread::guarded(&log, QStringLiteral("unit %1").arg(unit), [&] {
                    if (unit == 1)
                        throw std::bad_alloc();
                    ++unitsDone;
                });
            }
            throw std::runtime_error("the body itself");
        });
    }
    EXPECT_EQ(unitsDone, 2);
    EXPECT_STREQ(name, "a name longer t");
    ASSERT_EQ(log.lines.size(), 2);
    EXPECT_TRUE(log.lines[0].startsWith("unit 1: ")) << log.lines[0].toStdString();
    EXPECT_EQ(log.lines[1], QStringLiteral("a name longer than fifteen bytes: the body itself"));
}

TEST(WorkerThreadTest, AStopCutsAPauseShortAndIsSeenByTheBody)
{
    WorkerThread thread(QStringLiteral("sleeper"), nullptr);
    std::atomic<bool> pauseEndedByStop{false};
    thread.start([&] {
        // An hour, unless stopped.
        pauseEndedByStop = !thread.pause(std::chrono::hours(1)) && thread.stopRequested();
    });
    thread.requestStop();
    thread.wait();
    EXPECT_TRUE(pauseEndedByStop);
    EXPECT_FALSE(thread.isRunning());
}

} // namespace
