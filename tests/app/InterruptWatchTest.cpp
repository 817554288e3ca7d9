#include "app/InterruptWatch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace
{

// Runs `body` in a child process, where signals sent to the process reach nothing but it, and gives the
// child's wait status.
template <typename Body>
int inChild(Body body)
{
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(body());
    int status = 0;
    ::waitpid(child, &status, 0);
    return status;
}

bool waitFor(const std::atomic<int>& count, int wanted)
{
    for (int tries = 0; tries < 400 && count < wanted; ++tries)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return count >= wanted;
}

TEST(InterruptWatchTest, TheFirstSignalStopsLaterOnesAreOnlyToldAndNoneEndsTheProgram)
{
    for (const int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(signal);
        const int status = inChild([signal] {
            std::atomic<int> interrupts{0};
            std::atomic<int> repeats{0};
            {
                const InterruptWatch watch([&] { ++interrupts; }, [&] { ++repeats; });
                ::kill(::getpid(), signal);
                if (!waitFor(interrupts, 1))
                    return 10;
                ::kill(::getpid(), signal);
                if (!waitFor(repeats, 1))
                    return 11;
                // One more while the run is winding up: still pending when the watch goes.
                ::kill(::getpid(), signal);
            }
            // Alive after the signals are unblocked again: what was pending was taken.
            return interrupts == 1 ? 0 : 12;
        });
        ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
}

} // namespace
