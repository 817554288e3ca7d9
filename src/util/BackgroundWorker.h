#pragma once

// A thread of the harvest engine as the window sees it at shut-down: asked to stop, then waited for,
// so that no worker outlives the window it reports to.
class BackgroundWorker
{
public:
    virtual ~BackgroundWorker() = default;

    // Returns at once; the worker stops at its next check.
    virtual void requestStop() = 0;
    virtual void wait() = 0;
};
