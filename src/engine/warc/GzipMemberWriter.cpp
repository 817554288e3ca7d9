#include "engine/warc/GzipMemberWriter.h"

#include <QIODevice>
#include <QtEndian>
#include <zlib.h>

struct GzipMemberWriter::Stream
{
    z_stream z{};
    bool ready = false;
    bool stored = false;        // this member is written as stored blocks
    bool storedStarted = false; // its gzip header is out
    uLong crc = 0;              // of a stored member's bytes
    quint32 size = 0;           // of a stored member's bytes, modulo 2^32 as gzip keeps it
    char buffer[kBufferSize];
};

GzipMemberWriter::GzipMemberWriter(int level) : stream_(std::make_unique<Stream>())
{
    // 16 above the window bits asks for a gzip header and trailer.
    stream_->ready = deflateInit2(&stream_->z, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) == Z_OK;
}

GzipMemberWriter::~GzipMemberWriter()
{
    if (stream_->ready)
        deflateEnd(&stream_->z);
}

void GzipMemberWriter::begin(QIODevice& out, bool compressible)
{
    reset();
    out_ = &out;
    stream_->stored = !compressible;
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
        if (made > 0 && out_->write(stream_->buffer, made) != made)
            return false;
        if (flush == Z_FINISH ? status == Z_STREAM_END : (z.avail_in == 0 && z.avail_out != 0))
            return true;
    }
}

bool GzipMemberWriter::writeStored(QByteArrayView bytes)
{
    Stream& s = *stream_;
    if (!s.storedStarted) {
        // ID1 ID2, deflate, no flags, no time, no extra flags, OS unknown.
        static constexpr char kHeader[10] = {'\x1f', '\x8b', 8, 0, 0, 0, 0, 0, 0, '\xff'};
        if (out_->write(kHeader, sizeof kHeader) != qint64(sizeof kHeader))
            return false;
        s.storedStarted = true;
        s.crc = crc32_z(0, nullptr, 0);
        s.size = 0;
    }
    s.crc = crc32_z(s.crc, reinterpret_cast<const Bytef*>(bytes.data()), z_size_t(bytes.size()));
    s.size += quint32(bytes.size());
    for (qsizetype done = 0; done < bytes.size();) {
        const qsizetype length = std::min(kMaxStoredBlock, bytes.size() - done);
        // Not the final block (BFINAL 0, BTYPE 00), then LEN and its complement, little-endian.
        char blockHeader[5] = {0};
        qToLittleEndian<quint16>(quint16(length), blockHeader + 1);
        qToLittleEndian<quint16>(quint16(~length), blockHeader + 3);
        if (out_->write(blockHeader, 5) != 5 || out_->write(bytes.data() + done, length) != length)
            return false;
        done += length;
    }
    return true;
}

bool GzipMemberWriter::finishStored()
{
    Stream& s = *stream_;
    if (!s.storedStarted && !writeStored({}))
        return false;
    // An empty final stored block, then the CRC-32 and size of the member's bytes.
    char trailer[13] = {1, 0, 0, '\xff', '\xff'};
    qToLittleEndian<quint32>(quint32(s.crc), trailer + 5);
    qToLittleEndian<quint32>(s.size, trailer + 9);
    return out_->write(trailer, sizeof trailer) == qint64(sizeof trailer);
}

bool GzipMemberWriter::write(QByteArrayView bytes)
{
    if (out_ == nullptr)
        return false;
    if (stream_->stored)
        return writeStored(bytes);
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
    bool finished;
    if (out_ == nullptr) {
        finished = false;
    } else if (stream_->stored) {
        finished = finishStored();
    } else if (stream_->ready) {
        stream_->z.next_in = nullptr;
        stream_->z.avail_in = 0;
        finished = deflateInto(Z_FINISH);
    } else {
        finished = false;
    }
    reset();
    return finished;
}

void GzipMemberWriter::reset()
{
    out_ = nullptr;
    stream_->stored = false;
    stream_->storedStarted = false;
    // Only a member that went through deflate leaves state behind; resetting costs a clear of its tables.
    if (stream_->ready && stream_->z.total_in + stream_->z.total_out > 0)
        stream_->ready = deflateReset(&stream_->z) == Z_OK;
}
