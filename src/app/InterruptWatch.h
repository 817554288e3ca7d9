#pragma once

#include "util/WorkerThread.h"

#include <csignal>
#include <functional>

// SIGINT and SIGTERM during a command-line run: taken by a thread of their own (sigtimedwait) rather
// than a handler, so that the stop can be requested with ordinary calls. The signals are blocked from
// construction, before the run's threads start and inherit the mask, until destruction.
//
// The first signal asks the run to stop; the run then finishes the file in hand, prints its totals and
// exits with 130. A signal after that (an impatient second Ctrl-C) is taken too, and only told: left
// pending, it would end the program the moment the mask is restored, before the totals.
class InterruptWatch
{
public:
    // `onInterrupt` runs once, on the watch's thread, at the first signal; `onRepeat` (may be empty) at
    // each later one.
    InterruptWatch(std::function<void()> onInterrupt, std::function<void()> onRepeat);
    // Takes any signal still pending before it unblocks them.
    ~InterruptWatch();

    InterruptWatch(const InterruptWatch&) = delete;
    InterruptWatch& operator=(const InterruptWatch&) = delete;

private:
    sigset_t signals_;
    sigset_t previous_;
    WorkerThread thread_;
};
