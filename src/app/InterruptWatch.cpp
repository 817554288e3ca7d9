#include "app/InterruptWatch.h"

#include <pthread.h>
#include <utility>

InterruptWatch::InterruptWatch(std::function<void()> onInterrupt, std::function<void()> onRepeat)
    : thread_(QStringLiteral("signals"), nullptr)
{
    sigemptyset(&signals_);
    sigaddset(&signals_, SIGINT);
    sigaddset(&signals_, SIGTERM);
    ::pthread_sigmask(SIG_BLOCK, &signals_, &previous_);
    thread_.start([this, onInterrupt = std::move(onInterrupt), onRepeat = std::move(onRepeat)] {
        const timespec tick{0, 50 * 1000 * 1000};
        bool interrupted = false;
        while (!thread_.stopRequested()) {
            if (::sigtimedwait(&signals_, nullptr, &tick) <= 0)
                continue;
            if (!interrupted) {
                interrupted = true;
                onInterrupt();
            } else if (onRepeat) {
                onRepeat();
            }
        }
    });
}

InterruptWatch::~InterruptWatch()
{
    thread_.requestStop();
    thread_.wait();
    const timespec now{0, 0};
    while (::sigtimedwait(&signals_, nullptr, &now) > 0) {
    }
    ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}
