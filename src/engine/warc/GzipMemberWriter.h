#pragma once

#include "engine/cache/ByteSink.h"

#include <memory>

class QIODevice;

// Compresses what it is given into `out` as gzip members, one member per call of finish(): a web archive
// keeps each record a member of its own, so that a reader can start at any record's offset. Memory is one
// fixed buffer, whatever passes through. One thread.
class GzipMemberWriter final : public ByteSink
{
public:
    // Level 1 costs a third of the default's time for a few percent more bytes.
    static constexpr int kLevel = 1;
    static constexpr qsizetype kBufferSize = 64 * 1024;

    explicit GzipMemberWriter(QIODevice& out, int level = kLevel);
    ~GzipMemberWriter() override;
    GzipMemberWriter(const GzipMemberWriter&) = delete;
    GzipMemberWriter& operator=(const GzipMemberWriter&) = delete;

    // False when compression or the device failed; the member is then broken and the caller drops it.
    bool write(QByteArrayView bytes) override;
    // Ends the member; the next write starts another.
    bool finish();
    // For the member about to start: whether its bytes are worth compressing. Most of what caches hold
    // (pictures, fonts, coded text) does not compress at all, and storing it costs a fraction of the time.
    void setCompressible(bool compressible);
    // Forgets a member written in part, for the caller that cuts the device back to its start.
    void reset();

private:
    bool deflateInto(int flush);

    struct Stream;
    QIODevice& out_;
    const int level_;
    std::unique_ptr<Stream> stream_;
};
