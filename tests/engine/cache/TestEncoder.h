#pragma once

#include <QByteArray>

// Encodes test bodies with the same libraries servers use, so the decoder is tested against real output
// rather than against itself.
class TestEncoder
{
public:
    static QByteArray gzip(const QByteArray& plain);
    static QByteArray zlibDeflate(const QByteArray& plain);
    static QByteArray rawDeflate(const QByteArray& plain);
    static QByteArray brotli(const QByteArray& plain);
    // Deflate's stored blocks (level 0), whose every byte stands for itself: cut short, such a body gives
    // exactly the bytes before the cut.
    static QByteArray gzipStored(const QByteArray& plain);
    static QByteArray zlibStored(const QByteArray& plain);

    // One frame that records its content size, as a one-shot compressor writes it.
    static QByteArray zstdWithContentSize(const QByteArray& plain);
    // One frame without a content size, as a streaming compressor (a web server) writes it; `windowLog`
    // is the window the frame header announces.
    static QByteArray zstdStreamed(const QByteArray& plain, int windowLog = 20);

    // `size` zero bytes encoded, made a chunk at a time so that the plain body is never in memory: a small
    // body that decodes to far more than it is. The zstd frame records no content size.
    static QByteArray gzipOfZeros(qint64 size);
    static QByteArray brotliOfZeros(qint64 size);
    static QByteArray zstdOfZeros(qint64 size);

    // Bytes that look alike in every run but do not compress, for bodies that must stay large.
    static QByteArray incompressible(qsizetype size);
};
