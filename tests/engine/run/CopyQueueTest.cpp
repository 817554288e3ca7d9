#include "engine/run/CopyQueue.h"

#include "engine/cache/CacheEntry.h"

#include <QStringList>
#include <atomic>
#include <gtest/gtest.h>
#include <thread>

namespace
{

void push(CopyQueue& queue, int number)
{
    CacheEntry entry;
    entry.url = QString::number(number);
    queue.PushCopyJob(entry, "/save", number % 2 == 0, false);
}

TEST(CopyQueueTest, JobsLeaveInTheOrderTheyCame)
{
    CopyQueue queue;
    queue.RemoveFirstJob(); // nothing to remove: nothing happens
    EXPECT_EQ(queue.FirstJob(), nullptr);
    for (int run = 0; run < 2; ++run) {
        for (int i = 0; i < 3; ++i)
            push(queue, i);
        for (int i = 0; i < 3; ++i) {
            const CopyJob* job = queue.FirstJob();
            ASSERT_NE(job, nullptr);
            EXPECT_EQ(job->entry.url, QString::number(i));
            EXPECT_EQ(job->saveFolder, "/save");
            EXPECT_EQ(job->isDocument, i % 2 == 0);
            queue.RemoveFirstJob();
        }
        EXPECT_EQ(queue.FirstJob(), nullptr);
    }
}

// A window's scan outruns a slow save folder: the bodies its walk read along stay with the first jobs
// only, and a job pushed once the queue has shrunk keeps its own again.
TEST(CopyQueueTest, OnlyTheFirstJobsKeepTheBodiesTheWalkRead)
{
    CopyQueue queue;
    const auto pushHolding = [&](int number) {
        CacheEntry entry;
        entry.url = QString::number(number);
        entry.body.held = "body " + QByteArray::number(number);
        queue.PushCopyJob(entry, "/save", false, false);
    };
    const int count = int(CopyQueue::kJobsHoldingBodies) + 2;
    for (int i = 0; i < count; ++i)
        pushHolding(i);
    // Once three have left the queue is below the limit again, and the next job keeps its bytes.
    for (int i = 0; i < 3; ++i)
        queue.RemoveFirstJob();
    pushHolding(count);
    for (int i = 3; i <= count; ++i) {
        const std::unique_ptr<CopyJob> job = queue.TakeFirstJob();
        ASSERT_NE(job, nullptr);
        ASSERT_EQ(job->entry.url, QString::number(i));
        const bool holds = i < int(CopyQueue::kJobsHoldingBodies) || i == count;
        EXPECT_EQ(job->entry.body.held, holds ? "body " + QByteArray::number(i) : QByteArray()) << i;
    }
}

TEST(CopyQueueTest, PushesWhileTheLastJobIsRemovedAreNeverLost)
{
    // The consumer keeps emptying the queue while the producer pushes; every job must come out once,
    // in order, and the tail must follow the removals.
    constexpr int kJobs = 20000;
    CopyQueue queue;
    std::thread producer([&] {
        for (int i = 0; i < kJobs; ++i)
            push(queue, i);
    });
    int expected = 0;
    while (expected < kJobs) {
        if (!queue.waitForJob(std::chrono::milliseconds(500)))
            break;
        const CopyJob* job = queue.FirstJob();
        ASSERT_NE(job, nullptr);
        ASSERT_EQ(job->entry.url, QString::number(expected));
        queue.RemoveFirstJob();
        ++expected;
    }
    producer.join();
    EXPECT_EQ(expected, kJobs);
    EXPECT_EQ(queue.FirstJob(), nullptr);
    push(queue, 7);
    ASSERT_NE(queue.FirstJob(), nullptr);
    EXPECT_EQ(queue.FirstJob()->entry.url, "7");
}

TEST(CopyQueueTest, AFullQueueHoldsThePusherUntilRoomIsMadeOrWaitingStops)
{
    CopyQueue queue;
    queue.setCapacity(2);
    std::atomic<int> pushed{0};
    std::thread producer([&] {
        for (int i = 0; i < 4; ++i) {
            push(queue, i);
            ++pushed;
        }
        queue.PushRunEnd({}); // never held
        ++pushed;
    });
    // Two fit; the third waits until one is taken, the fourth until waiting stops.
    while (pushed < 2)
        std::this_thread::yield();
    queue.RemoveFirstJob();
    while (pushed < 3)
        std::this_thread::yield();
    queue.stopWaiting();
    producer.join();
    EXPECT_EQ(pushed, 5);
    QStringList left;
    while (std::unique_ptr<CopyJob> job = queue.TakeFirstJob())
        left << (job->endsRun ? QStringLiteral("end") : job->entry.url);
    EXPECT_EQ(left, QStringList({"1", "2", "3", "end"}));
}

} // namespace
