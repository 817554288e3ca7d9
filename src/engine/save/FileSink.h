#pragma once

#include "engine/cache/ByteSink.h"

#include <QByteArray>
#include <QString>
#include <atomic>

// A ByteSink that writes to an open file through a fixed buffer, so that many short writes (an archive's
// lines) become few system calls. It refuses further bytes once a write fails or `abort` is set, which
// is how a stop reaches a job in the middle of its body.
class FileSink final : public ByteSink
{
public:
    static constexpr qsizetype kBufferSize = 256 * 1024;

    FileSink(int fd, const std::atomic<bool>& abort);
    ~FileSink() override = default;

    FileSink(const FileSink&) = delete;
    FileSink& operator=(const FileSink&) = delete;

    bool write(QByteArrayView bytes) override;
    // Writes out what is buffered; false when that or an earlier write failed.
    bool flush();
    // Writes out what is buffered and has the file's bytes reach the disk (fdatasync): a file whose cache
    // entry is deleted next must not be lost with it in a crash. False, with errorText, on failure.
    bool flushToDisk();

    bool aborted() const { return abort_.load(std::memory_order_relaxed); }
    // The system's words for the write that failed; empty when none did (or it was aborted).
    QString errorText() const { return error_; }

private:
    bool writeOut(QByteArrayView bytes);

    const int fd_;
    const std::atomic<bool>& abort_;
    QByteArray buffer_;
    bool failed_ = false;
    QString error_;
};
