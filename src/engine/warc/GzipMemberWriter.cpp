#include "engine/warc/GzipMemberWriter.h"

#include <QIODevice>
#include <zlib.h>

struct GzipMemberWriter::Stream
{
    z_stream z{};
    bool ready = false;
    char buffer[kBufferSize];
};

GzipMemberWriter::GzipMemberWriter(QIODevice& out, int level)
    : out_(out), level_(level), stream_(std::make_unique<Stream>())
{
    // 16 above the window bits asks for a gzip header and trailer.
    stream_->ready = deflateInit2(&stream_->z, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) == Z_OK;
}

GzipMemberWriter::~GzipMemberWriter()
{
    if (stream_->ready)
        deflateEnd(&stream_->z);
}

bool GzipMemberWriter::deflateInto(int flush)
{
    z_stream& z = stream_->z;
    for (;;) {
        z.next_out = reinterpret_cast<Bytef*>(stream_->buffer);
        z.avail_out = uInt(kBufferSize);
        const int status = deflate(&z, flush);
        if (status == Z_STREAM_ERROR)
            return false;
        const qint64 made = kBufferSize - qint64(z.avail_out);
        if (made > 0 && out_.write(stream_->buffer, made) != made)
            return false;
        if (flush == Z_FINISH ? status == Z_STREAM_END : (z.avail_in == 0 && z.avail_out != 0))
            return true;
    }
}

bool GzipMemberWriter::write(QByteArrayView bytes)
{
    if (!stream_->ready)
        return false;
    z_stream& z = stream_->z;
    // avail_in is 32 bits: larger views go in slices.
    constexpr qsizetype kSlice = qsizetype(1) << 30;
    for (qsizetype done = 0; done < bytes.size();) {
        const qsizetype slice = std::min(kSlice, bytes.size() - done);
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data() + done));
        z.avail_in = uInt(slice);
        if (!deflateInto(Z_NO_FLUSH))
            return false;
        done += slice;
    }
    return true;
}

bool GzipMemberWriter::finish()
{
    if (!stream_->ready)
        return false;
    stream_->z.next_in = nullptr;
    stream_->z.avail_in = 0;
    const bool finished = deflateInto(Z_FINISH);
    reset();
    return finished;
}

void GzipMemberWriter::setCompressible(bool compressible)
{
    // Before the member's first byte, so nothing is flushed with the old level.
    if (stream_->ready)
        stream_->ready = deflateParams(&stream_->z, compressible ? level_ : 0, Z_DEFAULT_STRATEGY) == Z_OK;
}

void GzipMemberWriter::reset()
{
    if (stream_->ready)
        stream_->ready = deflateReset(&stream_->z) == Z_OK;
}
