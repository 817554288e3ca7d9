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
// Damaged bodies decode as browsers show them. gzip, x-gzip and deflate (zlib-wrapped or raw) keep what
// inflated: a trailer that is wrong (CRC-32, length, Adler-32) or missing, or deflate data cut short, does not
// undo it; only a body of which nothing inflated, or whose header or data is corrupt, is undecodable. brotli
// and zstd cut short, or a zstd checksum that fails, are undecodable. A list naming a coding this does not know
// leaves the body as stored, as browsers show it: those bytes are all there is, and nothing says they are
// wrong.
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
        Undecodable, // a known coding whose data is corrupt (or cut short where that is fatal), or too many codings
        TooLarge,    // a coding's output passed the cap
        SinkFailed,  // the sink refused a chunk
    };

    // Decodes into `sink`, which must outlive this decoder. The cap applies to what each coding makes; a
    // body without coding, or with an unknown one, passes through uncounted (it is as large as it is stored).
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

    // Whether `encoding` has the bytes decoded at all: false for none, identity, or a list with an unknown
    // coding, whose bytes pass as they are stored.
    static bool isCoded(const QString& encoding);

    // The decoded body, or std::nullopt when the data does not decode (see Outcome) or decodes to more than
    // `maxDecodedSize`.
    static std::optional<QByteArray> decode(const QByteArray& stored, const QString& encoding,
                                            qint64 maxDecodedSize = kMaxDecodedSize);

    // The decoded size read off the stored bytes without decoding, where the format records it
    // (gzip's length trailer, a zstd frame header with its content size, identity); std::nullopt otherwise.
    // `head` and `tail` are the first and last bytes of the stored body (a few dozen of each are enough for
    // gzip; zstd is only answered when `head` holds the whole body, since only then is it certain that no
    // second frame follows the first); `storedLength` is the whole stored length.
    // When this answers, decode() gives that many bytes, barring a body that is damaged (corrupt, cut short,
    // a wrong trailer) or a gzip body of several members (its trailer has the last member's length only;
    // servers send one member). An unknown coding answers the stored length, as decode() passes it through.
    static std::optional<qint64> sizeHint(QByteArrayView head, QByteArrayView tail, qint64 storedLength,
                                          const QString& encoding);

private:
    struct Chain;
    std::unique_ptr<Chain> chain_;
};
