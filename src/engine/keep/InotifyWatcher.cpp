#include "engine/keep/InotifyWatcher.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace
{

// What is read at once: many events of the common size (a header and a name of 40-odd bytes).
constexpr std::size_t kReadBytes = 64 * 1024;

// What wake() adds to the eventfd; an injected overflow adds kOverflow, so a sum past kWake says one came.
constexpr eventfd_t kWake = 1;
constexpr eventfd_t kOverflow = 1 << 20;

} // namespace

InotifyWatcher::InotifyWatcher(int maxWatches)
    : maxWatches_(maxWatches), fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)), error_(fd_ < 0 ? errno : 0)
{
    wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd_ < 0 && error_ == 0)
        error_ = errno;
}

InotifyWatcher::~InotifyWatcher()
{
    if (fd_ >= 0)
        close(fd_);
    if (wakeFd_ >= 0)
        close(wakeFd_);
}

quint32 InotifyWatcher::mask()
{
    // No IN_ACCESS or IN_OPEN: reading a cache (ours included) must not wake the keeper.
    return IN_MODIFY | IN_CLOSE_WRITE | IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF |
           IN_MOVE_SELF | IN_ONLYDIR;
}

InotifyWatcher::Added InotifyWatcher::add(const QString& folder)
{
    if (!isValid())
        return {-1, error_};
    if (maxWatches_ >= 0 && watchCount() >= maxWatches_)
        return {-1, ENOSPC};
    const int watch = inotify_add_watch(fd_, QFile::encodeName(folder).constData(), mask());
    if (watch < 0)
        return {-1, errno};
    if (std::find(watches_.begin(), watches_.end(), watch) == watches_.end())
        watches_.push_back(watch);
    return {watch, 0};
}

void InotifyWatcher::remove(int watch)
{
    const auto found = std::find(watches_.begin(), watches_.end(), watch);
    if (found == watches_.end())
        return;
    watches_.erase(found);
    // Fails harmlessly for a watch the system ended already (its folder deleted).
    inotify_rm_watch(fd_, watch);
}

void InotifyWatcher::wake()
{
    if (wakeFd_ >= 0)
        eventfd_write(wakeFd_, kWake);
}

void InotifyWatcher::injectOverflow()
{
    if (wakeFd_ >= 0)
        eventfd_write(wakeFd_, kOverflow);
}

std::vector<InotifyWatcher::Event> InotifyWatcher::wait(std::optional<std::chrono::milliseconds> timeout)
{
    std::vector<Event> events;
    if (!isValid())
        return events;
    pollfd fds[2] = {{fd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    const int timeoutMs = timeout ? int(std::clamp<qint64>(timeout->count(), 0, 24 * 3600 * 1000)) : -1;
    const int ready = poll(fds, 2, timeoutMs);
    if (ready <= 0)
        return events;
    if (fds[1].revents & POLLIN) {
        eventfd_t value = 0;
        if (eventfd_read(wakeFd_, &value) == 0 && value >= kOverflow)
            events.push_back({-1, IN_Q_OVERFLOW, {}});
    }
    if (fds[0].revents & POLLIN)
        readEvents(events);
    return events;
}

void InotifyWatcher::readEvents(std::vector<Event>& events)
{
    alignas(inotify_event) char buffer[kReadBytes];
    for (;;) {
        const ssize_t got = read(fd_, buffer, sizeof buffer);
        if (got <= 0)
            return; // EAGAIN: all read
        // The kernel gives whole events only; each length is still checked against what was read.
        std::size_t at = 0;
        while (at + sizeof(inotify_event) <= std::size_t(got)) {
            inotify_event header;
            std::memcpy(&header, buffer + at, sizeof header);
            const std::size_t size = sizeof(inotify_event) + header.len;
            if (size > std::size_t(got) - at)
                return;
            const char* name = buffer + at + sizeof(inotify_event);
            events.push_back(
                {header.wd, header.mask,
                 header.len > 0 ? QFile::decodeName(QByteArray(name, int(strnlen(name, header.len)))) : QString()});
            if (header.mask & IN_IGNORED)
                watches_.erase(std::remove(watches_.begin(), watches_.end(), header.wd), watches_.end());
            at += size;
        }
    }
}
