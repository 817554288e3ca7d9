#include "TestEncoder.h"

#include <brotli/encode.h>
#include <stdexcept>
#include <zlib.h>
#include <zstd.h>

namespace
{

// What web servers use for responses they compress on the fly; the slowest quality would only slow the tests.
constexpr int kBrotliQuality = 6;

QByteArray deflateWith(const QByteArray& plain, int windowBits)
{
    z_stream stream{};
    if (deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY) != Z_OK)
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
    QByteArray chunk(static_cast<qsizetype>(ZSTD_CStreamOutSize()), '\0');
    ZSTD_inBuffer input{plain.constData(), static_cast<size_t>(plain.size()), 0};
    // Feeding the input before asking for the end keeps the compressor from learning the total size,
    // so the frame header leaves the content size out.
    for (const ZSTD_EndDirective directive : {ZSTD_e_continue, ZSTD_e_end}) {
        size_t remaining = 0;
        do {
            ZSTD_outBuffer output{chunk.data(), static_cast<size_t>(chunk.size()), 0};
            remaining = ZSTD_compressStream2(context, &output, &input, directive);
            checkZstd(remaining);
            encoded.append(chunk.constData(), static_cast<qsizetype>(output.pos));
        } while (directive == ZSTD_e_end ? remaining != 0 : input.pos < input.size);
    }
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
