#include "app/InterruptWatch.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>
#include <utility>

InterruptWatch::InterruptWatch(std::function<void()> onInterrupt, std::function<void()> onRepeat)
    : thread_(QStringLiteral("signals"), nullptr)
{
    sigemptyset(&signals_);
    sigaddset(&signals_, SIGINT);
    sigaddset(&signals_, SIGTERM);
    ::pthread_sigmask(SIG_BLOCK, &signals_, &previous_);
    // The watch sleeps until a signal or its own end: keeping runs for days, and a timer would wake it for
    // nothing several times a second.
    signalFd_ = ::signalfd(-1, &signals_, SFD_CLOEXEC);
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC);
    thread_.start([this, onInterrupt = std::move(onInterrupt), onRepeat = std::move(onRepeat)] {
        bool interrupted = false;
        while (!thread_.stopRequested()) {
            if (!nextSignal())
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
    if (wakeFd_ >= 0) {
        const eventfd_t one = 1;
        (void)!::write(wakeFd_, &one, sizeof one);
    }
    thread_.wait();
    const timespec now{0, 0};
    while (::sigtimedwait(&signals_, nullptr, &now) > 0) {
    }
    ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    for (const int fd : {signalFd_, wakeFd_}) {
        if (fd >= 0)
            ::close(fd);
    }
}

bool InterruptWatch::nextSignal()
{
    if (signalFd_ < 0 || wakeFd_ < 0) {
        // Without the descriptors (none left to the process), it looks for a signal every tick instead.
        const timespec tick{0, 50 * 1000 * 1000};
        return ::sigtimedwait(&signals_, nullptr, &tick) > 0;
    }
    pollfd ready[2] = {{signalFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    if (::poll(ready, 2, -1) <= 0 || (ready[0].revents & POLLIN) == 0)
        return false;
    signalfd_siginfo taken;
    return ::read(signalFd_, &taken, sizeof taken) == sizeof taken;
}
