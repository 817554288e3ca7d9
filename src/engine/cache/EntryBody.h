#pragma once

#include "engine/cache/StoredBody.h"

#include <QByteArray>
#include <variant>

class ByteSink;

// Reads an entry's body out of the cache's own files, as it is when read: straight from the stored
// pieces, decoded on the way (gzip, deflate, br, zstd), with a fixed buffer. Nothing is written
// anywhere; the caller's sink decides where the bytes go.
//
// Every file is opened without blocking and read only when it is a regular file. A body whose file
// changed since the walk (its stamp differs: another inode, size or modification time), whose stored
// bytes no longer match the recorded CRC, or whose file is gone, is refused with the reason.
// Thread-safe: no state is shared between calls.
class EntryBody
{
public:
    // Why a body was not (wholly) delivered. Ordered for counting; add at the end only.
    enum class Refusal
    {
        None,        // delivered whole
        Vanished,    // a file of the body is gone
        Changed,     // the cache rewrote the entry since it was walked (stamp or range no longer fits)
        NotRegular,  // a file of the body is a FIFO, device, folder ...: never read
        Unreadable,  // open or read failed (permissions, I/O error)
        Damaged,     // the stored bytes fail their CRC
        Undecodable, // the Content-Encoding is unknown or the data does not decode, and the sink cannot restart
        TooLarge,    // decoding would pass the cap
        SinkFailed,  // the sink refused the bytes (write error, full disk)
    };

    // The cap on a decoded body: no page or picture a harvest wants comes near it, and a few KB of
    // brotli can claim far more.
    static constexpr qint64 kMaxDecodedSize = qint64(1) << 30;

    // The decoded body into `sink`, in chunks of at most ContentDecoder::kOutputChunk. A body that does
    // not decode is kept as the server sent it rather than lost: the sink, having had a decoded prefix, is
    // restarted and given the bytes as stored (Undecodable when it cannot restart). On Damaged the sink
    // has had every byte, since the CRC is known only at the end: the caller discards what it got. The cap
    // is on what decoding makes; a body stored without coding is delivered whatever its size.
    static Refusal stream(const StoredBody& body, ByteSink& sink, qint64 maxDecodedSize = kMaxDecodedSize);

    // The body in memory as stream() gives it, at most `maxSize` bytes (TooLarge beyond).
    static std::variant<QByteArray, Refusal> read(const StoredBody& body, qint64 maxSize);

    // The size stream() delivers, found by decoding into a fixed scratch buffer that is thrown away; no
    // allocation grows with the body. TooLarge beyond `maxSize`.
    static std::variant<qint64, Refusal> decodedSize(const StoredBody& body, qint64 maxSize = kMaxDecodedSize);

    // The refusal's name for logs: "vanished", "changed", ...
    static const char* nameOf(Refusal refusal);
};
