#include "engine/cache/ContentDecoder.h"

#include <QList>

#include <algorithm>
#include <brotli/decode.h>
#include <limits>
#include <memory>
#include <vector>
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

// The codings named by a Content-Encoding value, in the order they were applied; identity and empty items add
// nothing. An unknown item leaves the whole body as stored, as browsers leave it (they show such a body as it
// came): the list is then empty. std::nullopt for more layers than kMaxCodings.
std::optional<QList<Coding>> codingsOf(const QString& encoding)
{
    QList<Coding> codings;
    bool tooMany = false;
    for (const QString& item : encoding.split(u',')) {
        const QString name = item.trimmed().toLower();
        if (name.isEmpty() || name == u"identity")
            continue;
        const std::optional<Coding> coding = codingNamed(name);
        if (!coding)
            return QList<Coding>();
        if (codings.size() == kMaxCodings)
            tooMany = true;
        else
            codings.append(*coding);
    }
    if (tooMany)
        return std::nullopt;
    return codings;
}

// What the stages of one chain share: the first failure decides the outcome, and every stage stops then.
struct ChainState
{
    ContentDecoder::Outcome outcome = ContentDecoder::Outcome::Decoded;

    bool failed() const { return outcome != ContentDecoder::Outcome::Decoded; }

    // Records `why` unless an earlier failure is recorded already; false, for the caller to return.
    bool fail(ContentDecoder::Outcome why)
    {
        if (!failed())
            outcome = why;
        return false;
    }
};

// One coding undone: takes encoded bytes, writes the decoded ones to the next stage (or the caller's sink)
// through a fixed output buffer, and counts them against the cap.
class DecodingStage : public ByteSink
{
public:
    DecodingStage(ByteSink& next, ChainState& state, qint64 maxOutput)
        : next_(next), state_(state), maxOutput_(maxOutput),
          buffer_(std::make_unique_for_overwrite<char[]>(ContentDecoder::kOutputChunk))
    {}

    bool write(QByteArrayView encoded) final
    {
        if (state_.failed())
            return false;
        if (encoded.isEmpty())
            return true;
        sawInput_ = true;
        return consume(encoded);
    }

    // Flushes the rest and checks that the coded data ended properly.
    bool finish()
    {
        if (state_.failed())
            return false;
        // Servers send empty bodies (for example to HEAD-like revalidations) with the encoding header still on.
        return !sawInput_ || end();
    }

protected:
    virtual bool consume(QByteArrayView encoded) = 0;
    virtual bool end() = 0;

    char* output() { return buffer_.get(); }
    static constexpr size_t outputSize() { return size_t(ContentDecoder::kOutputChunk); }

    // Hands on the first `produced` bytes of the output buffer.
    bool handOn(size_t produced)
    {
        if (produced == 0)
            return true;
        produced_ += qint64(produced);
        // Checked before the bytes go on, so the sink never sees a byte past the cap.
        if (produced_ > maxOutput_)
            return state_.fail(ContentDecoder::Outcome::TooLarge);
        if (!next_.write(QByteArrayView(buffer_.get(), qsizetype(produced))))
            return state_.fail(ContentDecoder::Outcome::SinkFailed); // keeps a later stage's own reason
        return true;
    }

    bool corrupt() { return state_.fail(ContentDecoder::Outcome::Undecodable); }

    // Whether this stage has handed on any byte.
    bool producedAny() const { return produced_ > 0; }

private:
    ByteSink& next_;
    ChainState& state_;
    const qint64 maxOutput_;
    qint64 produced_ = 0;
    bool sawInput_ = false;
    const std::unique_ptr<char[]> buffer_;
};

// Raw deflate data (RFC 1951), inflated. The wrappers around it (gzip's, zlib's) are read by the stages
// themselves rather than by zlib, so that their check values can be passed over as browsers pass over them.
class InflatingStage : public DecodingStage
{
public:
    InflatingStage(ByteSink& next, ChainState& state, qint64 maxOutput) : DecodingStage(next, state, maxOutput)
    {
        initialized_ = inflateInit2(&stream_, -MAX_WBITS) == Z_OK;
        if (!initialized_)
            corrupt();
    }

    ~InflatingStage() override
    {
        if (initialized_)
            inflateEnd(&stream_);
    }

protected:
    // Ready for another deflate stream (a gzip body's next member).
    bool restartStream() { return inflateReset(&stream_) == Z_OK || corrupt(); }

    // Inflates `encoded` until it is used up or the deflate data ends (`ended`). The number of bytes used, or
    // -1 on failure: data that is corrupt fails, data that stops short simply uses up its input.
    qsizetype inflateSome(QByteArrayView encoded, bool& ended)
    {
        ended = false;
        // zlib counts in 32-bit units, so large input is fed in slices.
        constexpr qsizetype kMaxSlice = std::numeric_limits<uInt>::max() / 2;
        qsizetype at = 0;
        while (at < encoded.size()) {
            const qsizetype slice = std::min(encoded.size() - at, kMaxSlice);
            stream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(encoded.data() + at));
            stream_.avail_in = uInt(slice);
            for (;;) {
                stream_.next_out = reinterpret_cast<Bytef*>(output());
                stream_.avail_out = uInt(outputSize());
                const int rc = inflate(&stream_, Z_NO_FLUSH);
                if (!handOn(outputSize() - stream_.avail_out))
                    return -1;
                if (rc == Z_STREAM_END) {
                    ended = true;
                    return at + slice - qsizetype(stream_.avail_in);
                }
                if (rc != Z_OK && rc != Z_BUF_ERROR) {
                    corrupt();
                    return -1;
                }
                // Z_BUF_ERROR: no progress possible, which with room left means the input is used up.
                if (rc == Z_BUF_ERROR || (stream_.avail_in == 0 && stream_.avail_out != 0))
                    break;
            }
            at += slice;
        }
        return at;
    }

private:
    z_stream stream_{};
    bool initialized_ = false;
};

bool startsGzipMember(QByteArrayView bytes, qsizetype at)
{
    return bytes.size() - at >= 2 && static_cast<uchar>(bytes[at]) == 0x1f && static_cast<uchar>(bytes[at + 1]) == 0x8b;
}

// gzip and x-gzip (RFC 1952), with several members in a row as one body. Damage is taken as browsers take it:
// each member's trailer (CRC-32 and length) is passed over unchecked, so a wrong one changes nothing, and a
// body cut short (in a member's data, its trailer, or a later member's header) keeps what inflated; only a
// body of which nothing at all inflated did not decode. A header or deflate data that is corrupt makes the
// body undecodable. Bytes after a member that do not make another member's header are ignored.
class GzipStage final : public InflatingStage
{
public:
    using InflatingStage::InflatingStage;

private:
    enum class Phase
    {
        Header,   // the fixed part and the optional fields its flags announce
        Deflate,  // the member's data
        Trailer,  // its CRC-32 and length, passed over
        Trailing, // what follows is not a member: ignored
    };

    // A header's fields, in the order they come (RFC 1952 2.3).
    enum class Field
    {
        Fixed,
        ExtraLength,
        Extra,
        Name,
        Comment,
        HeaderCrc,
    };

    static constexpr int kFixedHeader = 10;
    static constexpr int kTrailer = 8;
    static constexpr uchar kHeaderCrcFlag = 0x02;
    static constexpr uchar kExtraFlag = 0x04;
    static constexpr uchar kNameFlag = 0x08;
    static constexpr uchar kCommentFlag = 0x10;
    static constexpr uchar kReservedFlags = 0xe0;

    bool consume(QByteArrayView encoded) override
    {
        while (!encoded.isEmpty()) {
            switch (phase_) {
            case Phase::Header:
                if (!readHeader(encoded)) {
                    if (members_ == 0)
                        return corrupt();
                    phase_ = Phase::Trailing; // what came before stands
                }
                break;
            case Phase::Deflate: {
                bool ended = false;
                const qsizetype used = inflateSome(encoded, ended);
                if (used < 0)
                    return false;
                encoded = encoded.sliced(used);
                if (ended) {
                    ++members_;
                    phase_ = Phase::Trailer;
                    left_ = kTrailer;
                }
                break;
            }
            case Phase::Trailer: {
                const qsizetype skipped = std::min(left_, encoded.size());
                encoded = encoded.sliced(skipped);
                left_ -= skipped;
                if (left_ == 0) {
                    if (!restartStream())
                        return false;
                    phase_ = Phase::Header;
                    field_ = Field::Fixed;
                    left_ = kFixedHeader;
                }
                break;
            }
            case Phase::Trailing:
                return true;
            }
        }
        return true;
    }

    bool end() override { return members_ > 0 || producedAny() || corrupt(); }

    // Takes header bytes off the front of `encoded`, moving on to the data once the header is whole; false
    // when they are not a gzip header of deflate data.
    bool readHeader(QByteArrayView& encoded)
    {
        while (!encoded.isEmpty() && phase_ == Phase::Header) {
            switch (field_) {
            case Field::Fixed: {
                const uchar byte = uchar(encoded.front());
                encoded = encoded.sliced(1);
                const qsizetype at = kFixedHeader - left_;
                if ((at == 0 && byte != 0x1f) || (at == 1 && byte != 0x8b) || (at == 2 && byte != Z_DEFLATED) ||
                    (at == 3 && (byte & kReservedFlags) != 0))
                    return false;
                if (at == 3)
                    flags_ = byte;
                if (--left_ == 0)
                    nextField(Field::Fixed);
                break;
            }
            case Field::ExtraLength: // two bytes, the low one first
                extraLength_ |= qsizetype(uchar(encoded.front())) << (8 * (2 - left_));
                encoded = encoded.sliced(1);
                if (--left_ == 0) {
                    field_ = Field::Extra;
                    left_ = extraLength_;
                    if (left_ == 0)
                        nextField(Field::Extra);
                }
                break;
            case Field::Extra:
            case Field::HeaderCrc: {
                const qsizetype skipped = std::min(left_, encoded.size());
                encoded = encoded.sliced(skipped);
                left_ -= skipped;
                if (left_ == 0)
                    nextField(field_);
                break;
            }
            case Field::Name:
            case Field::Comment: { // up to a zero byte
                const qsizetype zero = encoded.indexOf('\0');
                encoded = zero < 0 ? QByteArrayView() : encoded.sliced(zero + 1);
                if (zero >= 0)
                    nextField(field_);
                break;
            }
            }
        }
        return true;
    }

    // Moves past `done` to the next field the flags announce, or to the data when there is none.
    void nextField(Field done)
    {
        static constexpr std::pair<Field, uchar> kOptional[] = {{Field::ExtraLength, kExtraFlag},
                                                                {Field::Name, kNameFlag},
                                                                {Field::Comment, kCommentFlag},
                                                                {Field::HeaderCrc, kHeaderCrcFlag}};
        for (const auto& [field, flag] : kOptional) {
            if (field > done && (flags_ & flag) != 0) {
                field_ = field;
                left_ = field == Field::ExtraLength || field == Field::HeaderCrc ? 2 : 0;
                extraLength_ = 0;
                return;
            }
        }
        phase_ = Phase::Deflate;
    }

    Phase phase_ = Phase::Header;
    Field field_ = Field::Fixed;
    qsizetype left_ = kFixedHeader; // bytes still to come of the current field or trailer
    uchar flags_ = 0;
    qsizetype extraLength_ = 0;
    int members_ = 0; // members whose data ended
};

// "deflate" means the zlib format (RFC 1950), but enough servers send raw deflate that browsers take both: the
// first two bytes tell, as a zlib header is recognisable by its check bits. Either way the data is inflated
// raw, so the zlib trailer (Adler-32) is passed over as gzip's is, and a body cut short keeps what inflated.
// Bytes after the data are ignored.
class DeflateStage final : public InflatingStage
{
public:
    using InflatingStage::InflatingStage;

private:
    static constexpr uchar kPresetDictionaryFlag = 0x20;

    static bool isZlibHeader(uchar cmf, uchar flg)
    {
        return (cmf & 0x0f) == Z_DEFLATED && (cmf >> 4) <= 7 && (cmf * 256 + flg) % 31 == 0;
    }

    bool consume(QByteArrayView encoded) override
    {
        if (ended_)
            return true;
        if (sniffed_ < 2) {
            while (sniffed_ < 2 && !encoded.isEmpty()) {
                header_[sniffed_++] = encoded.front();
                encoded = encoded.sliced(1);
            }
            if (sniffed_ < 2)
                return true;
            if (isZlibHeader(uchar(header_[0]), uchar(header_[1]))) {
                // A preset dictionary is one HTTP has no way to name.
                if ((uchar(header_[1]) & kPresetDictionaryFlag) != 0)
                    return corrupt();
            } else if (inflateSome(QByteArrayView(header_, 2), ended_) < 0) {
                return false;
            }
        }
        return ended_ || encoded.isEmpty() || inflateSome(encoded, ended_) >= 0;
    }

    bool end() override { return ended_ || producedAny() || corrupt(); }

    char header_[2] = {};
    int sniffed_ = 0;
    bool ended_ = false;
};

// Brotli. A stream cut short is undecodable, as it is in browsers: brotli has no trailer that could be passed
// over, only the end of its last meta-block to say the body is whole. Bytes after the end are ignored.
class BrotliStage final : public DecodingStage
{
public:
    BrotliStage(ByteSink& next, ChainState& state, qint64 maxOutput)
        : DecodingStage(next, state, maxOutput),
          decoder_(BrotliDecoderCreateInstance(nullptr, nullptr, nullptr), &BrotliDecoderDestroyInstance)
    {
        if (!decoder_)
            corrupt();
    }

private:
    bool consume(QByteArrayView encoded) override
    {
        if (done_)
            return true;
        size_t availableIn = size_t(encoded.size());
        auto nextIn = reinterpret_cast<const uint8_t*>(encoded.data());
        for (;;) {
            size_t availableOut = outputSize();
            auto nextOut = reinterpret_cast<uint8_t*>(output());
            const BrotliDecoderResult result =
                BrotliDecoderDecompressStream(decoder_.get(), &availableIn, &nextIn, &availableOut, &nextOut, nullptr);
            if (!handOn(outputSize() - availableOut))
                return false;
            if (result == BROTLI_DECODER_RESULT_SUCCESS) {
                done_ = true;
                return true;
            }
            if (result == BROTLI_DECODER_RESULT_NEEDS_MORE_INPUT)
                return true;
            if (result != BROTLI_DECODER_RESULT_NEEDS_MORE_OUTPUT)
                return corrupt();
        }
    }

    bool end() override { return done_ || corrupt(); }

    const std::unique_ptr<BrotliDecoderState, decltype(&BrotliDecoderDestroyInstance)> decoder_;
    bool done_ = false;
};

// zstd, frames one after another. As in browsers, an unfinished last frame (a body cut short) and a frame whose
// content checksum is wrong are undecodable.
class ZstdStage final : public DecodingStage
{
public:
    ZstdStage(ByteSink& next, ChainState& state, qint64 maxOutput)
        : DecodingStage(next, state, maxOutput), context_(ZSTD_createDCtx(), &ZSTD_freeDCtx)
    {
        if (!context_ || ZSTD_isError(ZSTD_DCtx_setParameter(context_.get(), ZSTD_d_windowLogMax, kZstdWindowLogMax)))
            corrupt();
    }

private:
    bool consume(QByteArrayView encoded) override
    {
        ZSTD_inBuffer input{encoded.data(), size_t(encoded.size()), 0};
        for (;;) {
            if (!decodeSome(input))
                return false;
            // The input is used up, and either the frame is complete and flushed (0), or the room was not
            // filled: the decoder has flushed all it can and waits for more input. Calling again after a 0
            // would start a new frame and report that as unfinished.
            if (input.pos == input.size && (pending_ == 0 || !outputFilled_))
                return true;
        }
    }

    bool end() override
    {
        ZSTD_inBuffer none{nullptr, 0, 0};
        while (pending_ != 0 && outputFilled_) {
            if (!decodeSome(none))
                return false;
        }
        return pending_ == 0 || corrupt();
    }

    bool decodeSome(ZSTD_inBuffer& input)
    {
        ZSTD_outBuffer out{output(), outputSize(), 0};
        pending_ = ZSTD_decompressStream(context_.get(), &out, &input);
        if (ZSTD_isError(pending_))
            return corrupt();
        outputFilled_ = out.pos == out.size;
        return handOn(out.pos);
    }

    const std::unique_ptr<ZSTD_DCtx, decltype(&ZSTD_freeDCtx)> context_;
    size_t pending_ = 1; // non-zero while a frame is unfinished
    bool outputFilled_ = false;
};

std::unique_ptr<DecodingStage> stageFor(Coding coding, ByteSink& next, ChainState& state, qint64 maxOutput)
{
    switch (coding) {
    case Coding::Gzip:
        return std::make_unique<GzipStage>(next, state, maxOutput);
    case Coding::Deflate:
        return std::make_unique<DeflateStage>(next, state, maxOutput);
    case Coding::Brotli:
        return std::make_unique<BrotliStage>(next, state, maxOutput);
    case Coding::Zstd:
        return std::make_unique<ZstdStage>(next, state, maxOutput);
    }
    return nullptr;
}

// Collects a decoded body in memory.
class ByteArraySink final : public ByteSink
{
public:
    bool write(QByteArrayView bytes) override
    {
        bytes_.append(bytes);
        return true;
    }

    QByteArray take() { return std::move(bytes_); }

private:
    QByteArray bytes_;
};

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

// The stages in the order the stored bytes pass them: the last coding applied is undone first.
struct ContentDecoder::Chain
{
    ChainState state;
    std::vector<std::unique_ptr<DecodingStage>> stages; // stages.front() writes to the caller's sink
    ByteSink* entry = nullptr;                          // what the stored bytes are written to
};

ContentDecoder::ContentDecoder(const QString& encoding, ByteSink& sink, qint64 maxDecodedSize)
    : chain_(std::make_unique<Chain>())
{
    const std::optional<QList<Coding>> codings = codingsOf(encoding);
    if (!codings) {
        chain_->state.fail(Outcome::Undecodable);
        return;
    }
    ByteSink* next = &sink;
    for (const Coding coding : *codings) {
        chain_->stages.push_back(stageFor(coding, *next, chain_->state, std::max<qint64>(maxDecodedSize, 0)));
        next = chain_->stages.back().get();
    }
    chain_->entry = next;
}

ContentDecoder::~ContentDecoder() = default;

bool ContentDecoder::write(QByteArrayView stored)
{
    if (chain_->state.failed())
        return false;
    // A refusal by a stage has its reason recorded already; only the caller's own sink has not.
    return stored.isEmpty() || chain_->entry->write(stored) || chain_->state.fail(Outcome::SinkFailed);
}

ContentDecoder::Outcome ContentDecoder::finish()
{
    for (auto stage = chain_->stages.rbegin(); stage != chain_->stages.rend(); ++stage) {
        if (!(*stage)->finish())
            break;
    }
    return chain_->state.outcome;
}

bool ContentDecoder::isCoded(const QString& encoding)
{
    const std::optional<QList<Coding>> codings = codingsOf(encoding);
    return !codings || !codings->isEmpty();
}

std::optional<QByteArray> ContentDecoder::decode(const QByteArray& stored, const QString& encoding,
                                                 qint64 maxDecodedSize)
{
    ByteArraySink sink;
    ContentDecoder decoder(encoding, sink, maxDecodedSize);
    decoder.write(stored);
    if (decoder.finish() != Outcome::Decoded)
        return std::nullopt;
    return sink.take();
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
