#pragma once

#include <csignal>
#include <sys/resource.h>

// While one lives, no file of this process may grow past `bytes`: a write beyond fails part-way (EFBIG)
// instead of raising SIGXFSZ. How tests make a real write fail in the middle of a file.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes) : previousHandler_(std::signal(SIGXFSZ, SIG_IGN))
    {
        struct rlimit limit = previous();
        limit.rlim_cur = bytes;
        active_ = ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
    ~FileSizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &previous_);
        std::signal(SIGXFSZ, previousHandler_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

    // Whether the limit could be set.
    bool isActive() const { return active_; }

private:
    const struct rlimit& previous()
    {
        ::getrlimit(RLIMIT_FSIZE, &previous_);
        return previous_;
    }

    struct rlimit previous_ = {};
    const sighandler_t previousHandler_;
    bool active_ = false;
};
