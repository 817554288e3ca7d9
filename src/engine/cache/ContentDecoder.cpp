#include "engine/cache/ContentDecoder.h"

#include <QList>

#include <algorithm>
#include <brotli/decode.h>
#include <limits>
#include <memory>
#include <zlib.h>
// For ZSTD_getFrameHeader, which exposes a frame's window size.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

namespace
{

enum class Coding
{
    Gzip,
    Deflate,
    Brotli,
    Zstd
};

// More layers than this is not something a server does; it is someone making us work.
constexpr int kMaxCodings = 4;

// Deflate cannot compress better than this (one 258-byte match per bit, roughly); it bounds how large a
// gzip body can really be, which decides whether its 32-bit length trailer may have wrapped.
constexpr qint64 kDeflateMaxRatio = 1032;

// Browsers refuse zstd windows over 8 MB for HTTP (RFC 9659); so do we, which also bounds the memory a
// hostile frame header can make us allocate.
constexpr int kZstdWindowLogMax = 23;

// The smallest gzip member: a 10-byte header, an empty deflate block, the 8-byte trailer.
constexpr qint64 kMinGzipMember = 20;

std::optional<Coding> codingNamed(const QString& name)
{
    if (name == u"gzip" || name == u"x-gzip")
        return Coding::Gzip;
    if (name == u"deflate")
        return Coding::Deflate;
    if (name == u"br")
        return Coding::Brotli;
    if (name == u"zstd")
        return Coding::Zstd;
    return std::nullopt;
}

// The codings named by a Content-Encoding value, in the order they were applied; std::nullopt when one
// is unknown. Identity and empty items add nothing.
std::optional<QList<Coding>> codingsOf(const QString& encoding)
{
    QList<Coding> codings;
    for (const QString& item : encoding.split(u',')) {
        const QString name = item.trimmed().toLower();
        if (name.isEmpty() || name == u"identity")
            continue;
        const std::optional<Coding> coding = codingNamed(name);
        if (!coding || codings.size() == kMaxCodings)
            return std::nullopt;
        codings.append(*coding);
    }
    return codings;
}

// The growing decoded body. Decoders write straight into its free room; it refuses to grow past the cap,
// which is how a decompression bomb ends.
class DecodedOutput
{
public:
    explicit DecodedOutput(qint64 maxSize) : maxSize_(std::max<qint64>(maxSize, 0)) {}

    // Free room for the decoder, at most kMaxRoom bytes; size 0 once the cap is passed. One byte beyond the
    // cap is offered so that a body of exactly the cap still decodes and one byte more is noticed.
    std::pair<char*, size_t> room()
    {
        const qint64 used = bytes_.size();
        // Growing the room with the body keeps the number of decoder calls small for large bodies.
        const qint64 wanted = std::clamp<qint64>(used, kMinRoom, kMaxRoom);
        const qint64 size = std::min(wanted, maxSize_ + 1 - used);
        if (size <= 0)
            return {nullptr, 0};
        bytes_.resize(used + size);
        return {bytes_.data() + used, static_cast<size_t>(size)};
    }

    // Keeps `produced` bytes of the room last handed out, drops the rest.
    void keep(size_t room, size_t produced) { bytes_.resize(bytes_.size() - static_cast<qsizetype>(room - produced)); }

    bool overflowed() const { return bytes_.size() > maxSize_; }

    // Spare capacity is left as it is: a decoded body is written out and dropped, and trimming it would copy it.
    QByteArray take() { return std::move(bytes_); }

    static constexpr qint64 kMinRoom = 16 * 1024;
    static constexpr qint64 kMaxRoom = 1024 * 1024; // also keeps within zlib's 32-bit counts

private:
    qint64 maxSize_;
    QByteArray bytes_;
};

class ZStream
{
public:
    explicit ZStream(int windowBits) { ok_ = inflateInit2(&stream_, windowBits) == Z_OK; }
    ~ZStream()
    {
        if (ok_)
            inflateEnd(&stream_);
    }
    ZStream(const ZStream&) = delete;
    ZStream& operator=(const ZStream&) = delete;

    bool isValid() const { return ok_; }
    z_stream* get() { return &stream_; }

private:
    z_stream stream_{};
    bool ok_ = false;
};

// Inflates one zlib, gzip or raw deflate stream (as set up in `zs`) starting at `from`. Returns the
// offset just after the stream's end, or std::nullopt when the data is corrupt, truncated or too large.
std::optional<qsizetype> inflateOneStream(ZStream& zs, const QByteArray& stored, qsizetype from, DecodedOutput& out)
{
    z_stream* const z = zs.get();
    // zlib counts in 32-bit units, so input is fed in slices.
    constexpr qsizetype kMaxSlice = std::numeric_limits<uInt>::max() / 2;
    qsizetype fed = from;
    z->next_in = nullptr;
    z->avail_in = 0;
    for (;;) {
        if (z->avail_in == 0 && fed < stored.size()) {
            const qsizetype slice = std::min(stored.size() - fed, kMaxSlice);
            z->next_in = reinterpret_cast<Bytef*>(const_cast<char*>(stored.constData() + fed));
            z->avail_in = static_cast<uInt>(slice);
            fed += slice;
        }
        const auto [room, roomSize] = out.room();
        if (roomSize == 0)
            return std::nullopt;
        z->next_out = reinterpret_cast<Bytef*>(room);
        z->avail_out = static_cast<uInt>(roomSize);
        const int rc = inflate(z, Z_NO_FLUSH);
        out.keep(roomSize, roomSize - z->avail_out);
        if (out.overflowed())
            return std::nullopt;
        if (rc == Z_STREAM_END)
            return fed - z->avail_in;
        // Z_BUF_ERROR here means the input ran out before the stream's end: a truncated body.
        if (rc != Z_OK)
            return std::nullopt;
    }
}

bool startsGzipMember(QByteArrayView bytes, qsizetype at)
{
    return bytes.size() - at >= 2 && static_cast<uchar>(bytes[at]) == 0x1f && static_cast<uchar>(bytes[at + 1]) == 0x8b;
}

std::optional<QByteArray> decodeGzip(const QByteArray& stored, qint64 maxSize)
{
    ZStream zs(16 + MAX_WBITS);
    if (!zs.isValid())
        return std::nullopt;
    DecodedOutput out(maxSize);
    qsizetype at = 0;
    // Several members in a row are one body (RFC 1952). Bytes after the last member that do not start
    // another are ignored, as browsers ignore them.
    do {
        const std::optional<qsizetype> end = inflateOneStream(zs, stored, at, out);
        if (!end)
            return std::nullopt;
        at = *end;
        if (inflateReset(zs.get()) != Z_OK)
            return std::nullopt;
    } while (startsGzipMember(stored, at));
    return out.take();
}

std::optional<QByteArray> inflateWithWindowBits(const QByteArray& stored, int windowBits, qint64 maxSize)
{
    ZStream zs(windowBits);
    if (!zs.isValid())
        return std::nullopt;
    DecodedOutput out(maxSize);
    if (!inflateOneStream(zs, stored, 0, out))
        return std::nullopt;
    return out.take();
}

std::optional<QByteArray> decodeDeflate(const QByteArray& stored, qint64 maxSize)
{
    // "deflate" means the zlib format, but enough servers send raw deflate that browsers take both.
    if (std::optional<QByteArray> zlibWrapped = inflateWithWindowBits(stored, MAX_WBITS, maxSize))
        return zlibWrapped;
    return inflateWithWindowBits(stored, -MAX_WBITS, maxSize);
}

std::optional<QByteArray> decodeBrotli(const QByteArray& stored, qint64 maxSize)
{
    const std::unique_ptr<BrotliDecoderState, decltype(&BrotliDecoderDestroyInstance)> state(
        BrotliDecoderCreateInstance(nullptr, nullptr, nullptr), &BrotliDecoderDestroyInstance);
    if (!state)
        return std::nullopt;
    DecodedOutput out(maxSize);
    size_t availableIn = static_cast<size_t>(stored.size());
    auto nextIn = reinterpret_cast<const uint8_t*>(stored.constData());
    for (;;) {
        const auto [room, roomSize] = out.room();
        if (roomSize == 0)
            return std::nullopt;
        size_t availableOut = roomSize;
        auto nextOut = reinterpret_cast<uint8_t*>(room);
        const BrotliDecoderResult result =
            BrotliDecoderDecompressStream(state.get(), &availableIn, &nextIn, &availableOut, &nextOut, nullptr);
        out.keep(roomSize, roomSize - availableOut);
        if (out.overflowed())
            return std::nullopt;
        // Bytes after the end of the stream are ignored, as with gzip.
        if (result == BROTLI_DECODER_RESULT_SUCCESS)
            return out.take();
        // All input was given at once, so needing more means the body is truncated.
        if (result != BROTLI_DECODER_RESULT_NEEDS_MORE_OUTPUT)
            return std::nullopt;
    }
}

std::optional<QByteArray> decodeZstd(const QByteArray& stored, qint64 maxSize)
{
    // Streaming, because frames written by a streaming compressor do not record their content size.
    const std::unique_ptr<ZSTD_DCtx, decltype(&ZSTD_freeDCtx)> context(ZSTD_createDCtx(), &ZSTD_freeDCtx);
    if (!context)
        return std::nullopt;
    if (ZSTD_isError(ZSTD_DCtx_setParameter(context.get(), ZSTD_d_windowLogMax, kZstdWindowLogMax)))
        return std::nullopt;
    DecodedOutput out(maxSize);
    ZSTD_inBuffer input{stored.constData(), static_cast<size_t>(stored.size()), 0};
    size_t pending = 0; // non-zero while a frame is unfinished
    for (;;) {
        const auto [room, roomSize] = out.room();
        if (roomSize == 0)
            return std::nullopt;
        ZSTD_outBuffer output{room, roomSize, 0};
        pending = ZSTD_decompressStream(context.get(), &output, &input);
        out.keep(roomSize, output.pos);
        if (ZSTD_isError(pending) || out.overflowed())
            return std::nullopt;
        // Done when the input is used up and either the last frame is complete and flushed (0), or the
        // room was not filled: then the decoder has flushed all it can and waits for input there is not.
        // Calling again after a 0 would start a new frame and report that as unfinished.
        if (input.pos == input.size && (pending == 0 || output.pos < output.size))
            break;
    }
    // Concatenated frames are decoded one after another; an unfinished last frame is a truncated body.
    if (pending != 0)
        return std::nullopt;
    return out.take();
}

std::optional<QByteArray> decodeOne(const QByteArray& stored, Coding coding, qint64 maxSize)
{
    switch (coding) {
    case Coding::Gzip:
        return decodeGzip(stored, maxSize);
    case Coding::Deflate:
        return decodeDeflate(stored, maxSize);
    case Coding::Brotli:
        return decodeBrotli(stored, maxSize);
    case Coding::Zstd:
        return decodeZstd(stored, maxSize);
    }
    return std::nullopt;
}

quint32 littleEndian32(const char* bytes)
{
    return quint32(uchar(bytes[0])) | quint32(uchar(bytes[1])) << 8 | quint32(uchar(bytes[2])) << 16 |
           quint32(uchar(bytes[3])) << 24;
}

std::optional<qint64> gzipSizeHint(QByteArrayView head, QByteArrayView tail, qint64 storedLength)
{
    // Magic number and the deflate method; anything else will not decode, so the size is not known.
    if (storedLength < kMinGzipMember || head.size() < 3 || tail.size() < 4 || !startsGzipMember(head, 0) ||
        uchar(head[2]) != 8)
        return std::nullopt;
    const qint64 lastMemberSize = littleEndian32(tail.data() + tail.size() - 4);
    // The trailer holds the length modulo 2^32. It is the length itself only when no body of this stored
    // size can be 2^32 bytes longer, which holds for every stored body under about 4 MB.
    // A body made of several members records only the last one's length; servers send one member.
    if (storedLength >= (lastMemberSize + (qint64(1) << 32)) / kDeflateMaxRatio)
        return std::nullopt;
    if (lastMemberSize > ContentDecoder::kMaxDecodedSize)
        return std::nullopt;
    return lastMemberSize;
}

std::optional<qint64> zstdSizeHint(QByteArrayView head, qint64 storedLength)
{
    // A first frame's content size says nothing about frames after it, so the whole body must be at hand
    // to be sure it is the only one.
    if (head.size() != storedLength)
        return std::nullopt;
    const size_t frameLength = ZSTD_findFrameCompressedSize(head.data(), static_cast<size_t>(head.size()));
    if (ZSTD_isError(frameLength) || frameLength != static_cast<size_t>(storedLength))
        return std::nullopt;
    ZSTD_frameHeader header{};
    if (ZSTD_getFrameHeader(&header, head.data(), static_cast<size_t>(head.size())) != 0 ||
        header.frameType != ZSTD_frame || header.frameContentSize == ZSTD_CONTENTSIZE_UNKNOWN ||
        header.frameContentSize > static_cast<unsigned long long>(ContentDecoder::kMaxDecodedSize) ||
        header.windowSize > (1ULL << kZstdWindowLogMax))
        return std::nullopt;
    return static_cast<qint64>(header.frameContentSize);
}

} // namespace

std::optional<QByteArray> ContentDecoder::decode(const QByteArray& stored, const QString& encoding,
                                                 qint64 maxDecodedSize)
{
    const std::optional<QList<Coding>> codings = codingsOf(encoding);
    if (!codings)
        return std::nullopt;
    // Servers send empty bodies (for example to HEAD-like revalidations) with the encoding header still on.
    if (stored.isEmpty())
        return stored;
    // The cap is on what decoding makes; a plain body is as large as it is stored.
    QByteArray body = stored;
    for (auto coding = codings->crbegin(); coding != codings->crend(); ++coding) {
        std::optional<QByteArray> decoded = decodeOne(body, *coding, maxDecodedSize);
        if (!decoded)
            return std::nullopt;
        body = std::move(*decoded);
    }
    return body;
}

std::optional<qint64> ContentDecoder::sizeHint(QByteArrayView head, QByteArrayView tail, qint64 storedLength,
                                               const QString& encoding)
{
    const std::optional<QList<Coding>> codings = codingsOf(encoding);
    if (!codings || storedLength < 0)
        return std::nullopt;
    if (storedLength == 0)
        return 0;
    if (codings->isEmpty())
        return storedLength;
    // Only the outermost layer can be read off the stored bytes.
    if (codings->size() != 1)
        return std::nullopt;
    switch (codings->constFirst()) {
    case Coding::Gzip:
        return gzipSizeHint(head, tail, storedLength);
    case Coding::Zstd:
        return zstdSizeHint(head, storedLength);
    case Coding::Deflate:
    case Coding::Brotli:
        break;
    }
    return std::nullopt;
}
