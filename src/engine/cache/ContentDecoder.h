#pragma once

#include "engine/cache/ByteSink.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <memory>
#include <optional>

// Undoes an HTTP Content-Encoding (gzip, x-gzip, deflate, br, zstd; identity and empty pass through).
// A list such as "gzip, br" is undone from right to left, the order in which it was applied.
//
// An instance decodes a stream: the stored bytes are written to it in chunks of any size, and the decoded
// bytes go on to the sink in chunks of at most kOutputChunk, through a fixed buffer per coding. A body of
// any size is decoded in the same memory; a body that decodes past the cap is stopped there, never held.
// Several codings are stages in a chain, each writing its output into the next one.
class ContentDecoder final : public ByteSink
{
public:
    // A decoded body larger than this is treated as a decoding failure: a few hundred bytes of zstd or
    // brotli can claim gigabytes, and no page or picture a harvest wants comes near it.
    static constexpr qint64 kMaxDecodedSize = qint64(1) << 30;

    // The most a stage hands on at once; also the size of each stage's output buffer.
    static constexpr qsizetype kOutputChunk = 64 * 1024;

    enum class Outcome
    {
        Decoded,     // the whole body went to the sink
        Undecodable, // unknown coding, or data that is corrupt or truncated
        TooLarge,    // a coding's output passed the cap
        SinkFailed,  // the sink refused a chunk
    };

    // Decodes into `sink`, which must outlive this decoder. The cap applies to what each coding makes; a
    // body without coding passes through uncounted (it is as large as it is stored).
    ContentDecoder(const QString& encoding, ByteSink& sink, qint64 maxDecodedSize = kMaxDecodedSize);
    ~ContentDecoder() override;
    ContentDecoder(const ContentDecoder&) = delete;
    ContentDecoder& operator=(const ContentDecoder&) = delete;

    // Takes the next stored bytes; false once decoding has failed (see finish() for why). The sink may
    // have had part of the body by then.
    bool write(QByteArrayView stored) override;

    // Ends the stream: flushes what the codings still hold and checks that each coding's data ended
    // where it should. Call once, after the last write.
    Outcome finish();

    // Whether every item of `encoding` is a coding this decodes (identity and empty included).
    static bool knowsEncoding(const QString& encoding);

    // The decoded body, or std::nullopt when `encoding` is unknown or the data does not decode
    // (corrupt, truncated, or larger than `maxDecodedSize`).
    // Callers pass a failed body through as stored rather than dropping it.
    static std::optional<QByteArray> decode(const QByteArray& stored, const QString& encoding,
                                            qint64 maxDecodedSize = kMaxDecodedSize);

    // The decoded size read off the stored bytes without decoding, where the format records it
    // (gzip's length trailer, a zstd frame header with its content size, identity); std::nullopt otherwise.
    // `head` and `tail` are the first and last bytes of the stored body (a few dozen of each are enough for
    // gzip; zstd is only answered when `head` holds the whole body, since only then is it certain that no
    // second frame follows the first); `storedLength` is the whole stored length.
    // When this answers, decode() gives that many bytes, barring a body whose data is corrupt or a gzip body
    // of several members (its trailer has the last member's length only; servers send one member).
    static std::optional<qint64> sizeHint(QByteArrayView head, QByteArrayView tail, qint64 storedLength,
                                          const QString& encoding);

private:
    struct Chain;
    std::unique_ptr<Chain> chain_;
};
