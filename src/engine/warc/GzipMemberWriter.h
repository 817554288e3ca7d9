#pragma once

#include "engine/cache/ByteSink.h"

#include <memory>

class QIODevice;

// Writes what it is given as gzip members, one member per begin() and finish(): a web archive keeps each
// record a member of its own, so that a reader can start at any record's offset. Memory is one fixed buffer
// and the compressor's tables, whatever passes through, kept from member to member since setting them up
// costs more than compressing a small record. One thread.
//
// A member whose bytes do not compress (setCompressible) is written as stored deflate blocks, which zlib's
// deflate would make too, only at the cost of running its compressor over every byte.
//
// A member may also be made of parts written apart (Framing::Part): each part is raw deflate data ending on
// a byte boundary, the last one ending the deflate stream; memberHeader(), the parts in order, then
// memberTrailer() of their combined CRC-32 and size make one member. So a record's body can be compressed
// as it is first read, before the header that names its digests is known.
class GzipMemberWriter final : public ByteSink
{
public:
    enum class Framing
    {
        Member, // each begin() to finish() is a whole member
        Part,   // each begin() to finishPart() is one part of a member
    };

    // Level 1 costs a third of the default's time for a few percent more bytes.
    static constexpr int kLevel = 1;
    static constexpr qsizetype kBufferSize = 64 * 1024;
    // A stored deflate block holds at most this many bytes (its length field is 16 bits).
    static constexpr qsizetype kMaxStoredBlock = 65535;

    explicit GzipMemberWriter(int level = kLevel, Framing framing = Framing::Member);
    ~GzipMemberWriter() override;
    GzipMemberWriter(const GzipMemberWriter&) = delete;
    GzipMemberWriter& operator=(const GzipMemberWriter&) = delete;

    // Starts a member into `out`, which outlives it. `compressible` says whether its bytes are worth
    // compressing: most of what caches hold (pictures, fonts, coded text) does not compress at all.
    void begin(QIODevice& out, bool compressible = true);

    // False when compression or the device failed; the member is then broken and the caller drops it.
    bool write(QByteArrayView bytes) override;
    // Ends the member (Framing::Member).
    bool finish();
    // Ends a part (Framing::Part): `last` ends the member's deflate stream, else the part ends on a byte
    // boundary for the next one to follow.
    bool finishPart(bool last);
    // The CRC-32 and the number of the bytes given since begin(), readable after the part ends.
    quint32 crc() const;
    qint64 size() const;

    // What a member made of parts begins and ends with.
    static QByteArray memberHeader();
    static QByteArray memberTrailer(quint32 crc, qint64 size);
    // The CRC-32 of two runs of bytes one after the other, from each one's CRC-32 and the second's size.
    static quint32 combinedCrc(quint32 first, quint32 second, qint64 secondSize);
    // Forgets a member written in part, for the caller that cuts the device back to its start.
    void reset();

private:
    bool deflateInto(int flush);
    bool writeStored(QByteArrayView bytes);
    bool finishStored();

    struct Stream;
    const Framing framing_;
    QIODevice* out_ = nullptr;
    std::unique_ptr<Stream> stream_;
};
