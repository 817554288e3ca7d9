#include "TestEncoder.h"

#include <algorithm>
#include <brotli/encode.h>
#include <stdexcept>
#include <zlib.h>
#include <zstd.h>

namespace
{

// What web servers use for responses they compress on the fly; the slowest quality would only slow the tests.
constexpr int kBrotliQuality = 6;

QByteArray deflateWith(const QByteArray& plain, int windowBits, int level = Z_BEST_COMPRESSION)
{
    z_stream stream{};
    if (deflateInit2(&stream, level, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflateInit2");
    QByteArray encoded(static_cast<qsizetype>(deflateBound(&stream, static_cast<uLong>(plain.size()))), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(plain.constData()));
    stream.avail_in = static_cast<uInt>(plain.size());
    stream.next_out = reinterpret_cast<Bytef*>(encoded.data());
    stream.avail_out = static_cast<uInt>(encoded.size());
    const int rc = deflate(&stream, Z_FINISH);
    encoded.resize(static_cast<qsizetype>(stream.total_out));
    deflateEnd(&stream);
    if (rc != Z_STREAM_END)
        throw std::runtime_error("deflate");
    return encoded;
}

void checkZstd(size_t rc)
{
    if (ZSTD_isError(rc))
        throw std::runtime_error(ZSTD_getErrorName(rc));
}

// Hands `plain` to a streaming compressor and appends what it gives to `encoded`; with ZSTD_e_end, until
// the frame is complete.
void zstdFeed(ZSTD_CCtx* context, const QByteArray& plain, ZSTD_EndDirective directive, QByteArray& encoded)
{
    QByteArray chunk(static_cast<qsizetype>(ZSTD_CStreamOutSize()), '\0');
    ZSTD_inBuffer input{plain.constData(), static_cast<size_t>(plain.size()), 0};
    size_t remaining = 0;
    do {
        ZSTD_outBuffer output{chunk.data(), static_cast<size_t>(chunk.size()), 0};
        remaining = ZSTD_compressStream2(context, &output, &input, directive);
        checkZstd(remaining);
        encoded.append(chunk.constData(), static_cast<qsizetype>(output.pos));
    } while (directive == ZSTD_e_end ? remaining != 0 : input.pos < input.size);
}

} // namespace

QByteArray TestEncoder::gzip(const QByteArray& plain)
{
    return deflateWith(plain, 16 + MAX_WBITS);
}

QByteArray TestEncoder::zlibDeflate(const QByteArray& plain)
{
    return deflateWith(plain, MAX_WBITS);
}

QByteArray TestEncoder::rawDeflate(const QByteArray& plain)
{
    return deflateWith(plain, -MAX_WBITS);
}

QByteArray TestEncoder::gzipStored(const QByteArray& plain)
{
    return deflateWith(plain, 16 + MAX_WBITS, Z_NO_COMPRESSION);
}

QByteArray TestEncoder::zlibStored(const QByteArray& plain)
{
    return deflateWith(plain, MAX_WBITS, Z_NO_COMPRESSION);
}

QByteArray TestEncoder::brotli(const QByteArray& plain)
{
    size_t encodedSize = BrotliEncoderMaxCompressedSize(static_cast<size_t>(plain.size()));
    QByteArray encoded(static_cast<qsizetype>(encodedSize), '\0');
    if (!BrotliEncoderCompress(kBrotliQuality, BROTLI_DEFAULT_WINDOW, BROTLI_MODE_GENERIC,
                               static_cast<size_t>(plain.size()), reinterpret_cast<const uint8_t*>(plain.constData()),
                               &encodedSize, reinterpret_cast<uint8_t*>(encoded.data())))
        throw std::runtime_error("BrotliEncoderCompress");
    encoded.resize(static_cast<qsizetype>(encodedSize));
    return encoded;
}

QByteArray TestEncoder::zstdWithContentSize(const QByteArray& plain)
{
    QByteArray encoded(static_cast<qsizetype>(ZSTD_compressBound(static_cast<size_t>(plain.size()))), '\0');
    const size_t encodedSize = ZSTD_compress(encoded.data(), static_cast<size_t>(encoded.size()), plain.constData(),
                                             static_cast<size_t>(plain.size()), 3);
    checkZstd(encodedSize);
    encoded.resize(static_cast<qsizetype>(encodedSize));
    return encoded;
}

QByteArray TestEncoder::zstdStreamed(const QByteArray& plain, int windowLog)
{
    ZSTD_CCtx* const context = ZSTD_createCCtx();
    checkZstd(ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog, windowLog));
    QByteArray encoded;
    // Feeding the input before asking for the end keeps the compressor from learning the total size,
    // so the frame header leaves the content size out.
    zstdFeed(context, plain, ZSTD_e_continue, encoded);
    zstdFeed(context, QByteArray(), ZSTD_e_end, encoded);
    ZSTD_freeCCtx(context);
    return encoded;
}

namespace
{

// The zero bytes handed to an encoder at a time.
const QByteArray& zeroChunk()
{
    static const QByteArray zeros(1 << 20, '\0');
    return zeros;
}

} // namespace

QByteArray TestEncoder::gzipOfZeros(qint64 size)
{
    z_stream stream{};
    // At deflate's best ratio, as a bomb is made: a faster level makes a body a fifth as amplifying.
    if (deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflateInit2");
    QByteArray encoded;
    QByteArray out(1 << 16, '\0');
    for (qint64 left = size;;) {
        const qint64 piece = std::min<qint64>(left, zeroChunk().size());
        stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(zeroChunk().constData()));
        stream.avail_in = static_cast<uInt>(piece);
        left -= piece;
        int rc = Z_OK;
        do {
            stream.next_out = reinterpret_cast<Bytef*>(out.data());
            stream.avail_out = static_cast<uInt>(out.size());
            rc = deflate(&stream, left == 0 ? Z_FINISH : Z_NO_FLUSH);
            encoded.append(out.constData(), out.size() - static_cast<qsizetype>(stream.avail_out));
        } while (stream.avail_out == 0);
        if (left == 0 && rc == Z_STREAM_END)
            break;
    }
    deflateEnd(&stream);
    return encoded;
}

QByteArray TestEncoder::brotliOfZeros(qint64 size)
{
    BrotliEncoderState* const state = BrotliEncoderCreateInstance(nullptr, nullptr, nullptr);
    BrotliEncoderSetParameter(state, BROTLI_PARAM_QUALITY, 1);
    QByteArray encoded;
    for (qint64 left = size;;) {
        const qint64 piece = std::min<qint64>(left, zeroChunk().size());
        size_t availableIn = static_cast<size_t>(piece);
        auto nextIn = reinterpret_cast<const uint8_t*>(zeroChunk().constData());
        left -= piece;
        const BrotliEncoderOperation operation = left == 0 ? BROTLI_OPERATION_FINISH : BROTLI_OPERATION_PROCESS;
        do {
            size_t availableOut = 0;
            if (!BrotliEncoderCompressStream(state, operation, &availableIn, &nextIn, &availableOut, nullptr, nullptr))
                throw std::runtime_error("BrotliEncoderCompressStream");
            size_t produced = 0;
            const uint8_t* output = BrotliEncoderTakeOutput(state, &produced);
            encoded.append(reinterpret_cast<const char*>(output), static_cast<qsizetype>(produced));
        } while (availableIn > 0 || BrotliEncoderHasMoreOutput(state));
        if (left == 0 && BrotliEncoderIsFinished(state))
            break;
    }
    BrotliEncoderDestroyInstance(state);
    return encoded;
}

QByteArray TestEncoder::zstdOfZeros(qint64 size)
{
    ZSTD_CCtx* const context = ZSTD_createCCtx();
    checkZstd(ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog, 20));
    QByteArray encoded;
    for (qint64 left = size; left > 0; left -= zeroChunk().size())
        zstdFeed(context, zeroChunk().first(std::min<qint64>(left, zeroChunk().size())), ZSTD_e_continue, encoded);
    zstdFeed(context, QByteArray(), ZSTD_e_end, encoded);
    ZSTD_freeCCtx(context);
    return encoded;
}

QByteArray TestEncoder::incompressible(qsizetype size)
{
    QByteArray bytes(size, '\0');
    quint32 state = 2463534242u; // xorshift32: fixed seed, so every run sees the same bytes
    for (char& byte : bytes) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = static_cast<char>(state);
    }
    return bytes;
}
