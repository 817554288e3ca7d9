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
    uLong crc = 0;              // of a stored member's bytes, or of a part's
    qint64 size = 0;            // of a stored member's bytes, or of a part's
    char buffer[kBufferSize];
};

namespace
{

// ID1 ID2, deflate, no flags, no time, no extra flags, OS unknown.
constexpr char kMemberHeader[10] = {'\x1f', '\x8b', 8, 0, 0, 0, 0, 0, 0, '\xff'};

} // namespace

GzipMemberWriter::GzipMemberWriter(int level, Framing framing) : framing_(framing), stream_(std::make_unique<Stream>())
{
    // 16 above the window bits asks for a gzip header and trailer; negative ones for raw deflate data.
    const int windowBits = framing == Framing::Member ? 15 + 16 : -15;
    stream_->ready = deflateInit2(&stream_->z, level, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY) == Z_OK;
}

QByteArray GzipMemberWriter::memberHeader()
{
    return QByteArray(kMemberHeader, sizeof kMemberHeader);
}

QByteArray GzipMemberWriter::memberTrailer(quint32 crc, qint64 size)
{
    // The size modulo 2^32, as gzip keeps it.
    char trailer[8];
    qToLittleEndian<quint32>(crc, trailer);
    qToLittleEndian<quint32>(quint32(size), trailer + 4);
    return QByteArray(trailer, sizeof trailer);
}

quint32 GzipMemberWriter::combinedCrc(quint32 first, quint32 second, qint64 secondSize)
{
    return quint32(crc32_combine64(first, second, secondSize));
}

quint32 GzipMemberWriter::crc() const
{
    return quint32(stream_->crc);
}

qint64 GzipMemberWriter::size() const
{
    return stream_->size;
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
    stream_->crc = crc32_z(0, nullptr, 0);
    stream_->size = 0;
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
        if (framing_ == Framing::Member &&
            out_->write(kMemberHeader, sizeof kMemberHeader) != qint64(sizeof kMemberHeader))
            return false;
        s.storedStarted = true;
    }
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
    const QByteArray end = QByteArray("\x01\x00\x00\xff\xff", 5) + memberTrailer(quint32(s.crc), s.size);
    return out_->write(end) == end.size();
}

bool GzipMemberWriter::write(QByteArrayView bytes)
{
    if (out_ == nullptr)
        return false;
    // Member framing has zlib keep the CRC-32 for its trailer; parts and stored members keep their own.
    if (framing_ == Framing::Part || stream_->stored) {
        stream_->crc = crc32_z(stream_->crc, reinterpret_cast<const Bytef*>(bytes.data()), z_size_t(bytes.size()));
        stream_->size += bytes.size();
    }
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

bool GzipMemberWriter::finishPart(bool last)
{
    bool finished;
    if (out_ == nullptr) {
        finished = false;
    } else if (stream_->stored) {
        // Stored blocks end on a byte boundary already; the last part closes with an empty final one.
        finished = !last || out_->write("\x01\x00\x00\xff\xff", 5) == 5;
    } else if (stream_->ready) {
        stream_->z.next_in = nullptr;
        stream_->z.avail_in = 0;
        // A sync flush ends with an empty stored block, which leaves the data on a byte boundary.
        finished = deflateInto(last ? Z_FINISH : Z_SYNC_FLUSH);
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
