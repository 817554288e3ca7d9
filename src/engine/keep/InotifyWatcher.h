#pragma once

#include <QString>
#include <QtGlobal>

#include <chrono>
#include <optional>
#include <vector>

// The system's file events for a set of folders (inotify), read by one thread that blocks in poll() until
// an event comes, a wake() or a timeout: watching costs nothing while nothing happens. Every folder is
// watched for the same events (what keeping needs: files written, moved, deleted; the folder itself
// deleted or moved). Watches are counted against the system's per-user limit
// (fs.inotify.max_user_watches), or against a lower one a test sets.
//
// One thread owns the watcher; wake() alone may be called from any other.
class InotifyWatcher
{
public:
    struct Event
    {
        int watch = -1;   // the watch it came through; -1 for a queue overflow
        quint32 mask = 0; // IN_* bits
        QString name;     // the file or folder inside the watched folder; empty for the folder itself
    };

    // `maxWatches` below 0: only the system's limit applies.
    explicit InotifyWatcher(int maxWatches = -1);
    ~InotifyWatcher();

    InotifyWatcher(const InotifyWatcher&) = delete;
    InotifyWatcher& operator=(const InotifyWatcher&) = delete;

    // False when the system gave no inotify instance (the per-user limit of instances); `error()` says why.
    bool isValid() const { return fd_ >= 0 && wakeFd_ >= 0; }
    int error() const { return error_; }

    // The watch of `folder`, or the errno why not: ENOSPC once the limit of watches is reached, ENOENT for a
    // folder that is not there. A folder watched already gives the watch it has.
    struct Added
    {
        int watch = -1;
        int error = 0;
    };
    Added add(const QString& folder);
    void remove(int watch);
    int watchCount() const { return int(watches_.size()); }

    // Waits up to `timeout` (forever when none) for events or a wake; returns what came, or nothing for a
    // wake or timeout. An overflow of the system's queue comes as one event with IN_Q_OVERFLOW set: events
    // were lost. A watch the system ended (its folder deleted) comes with IN_IGNORED.
    std::vector<Event> wait(std::optional<std::chrono::milliseconds> timeout);

    // Ends the current or next wait at once; any thread.
    void wake();
    // Makes the next wait report an overflow, as if the system's queue had filled: for tests, which cannot
    // fill it without changing the system's settings. Any thread.
    void injectOverflow();

    // The mask every folder is watched with.
    static quint32 mask();

private:
    void readEvents(std::vector<Event>& events);

    const int maxWatches_;
    int fd_ = -1;
    int wakeFd_ = -1; // an eventfd: 1 wakes, 2 or more also injects an overflow
    int error_ = 0;
    std::vector<int> watches_;
};
