#pragma once

#include "util/WorkerThread.h"

#include <csignal>
#include <functional>

// SIGINT and SIGTERM during a command-line run: taken by a thread of their own (signalfd) rather
// than a handler, so that the stop can be requested with ordinary calls. The signals are blocked from
// construction, before the run's threads start and inherit the mask, until destruction.
//
// The first signal asks the run (or keeping) to stop; it then finishes the file in hand, prints its totals
// and exits. A signal after that (an impatient second Ctrl-C) is taken too, and only told: left
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
    // Waits for the next signal, or for the watch's end (false).
    bool nextSignal();

    sigset_t signals_;
    sigset_t previous_;
    int signalFd_ = -1; // reads the blocked signals
    int wakeFd_ = -1;   // written once, to end the wait at destruction
    WorkerThread thread_;
};
