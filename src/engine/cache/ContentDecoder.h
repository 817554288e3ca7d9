#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <optional>

// Undoes an HTTP Content-Encoding (gzip, x-gzip, deflate, br, zstd; identity and empty pass through).
// A list such as "gzip, br" is undone from right to left, the order in which it was applied.
class ContentDecoder
{
public:
    // A decoded body larger than this is treated as a decoding failure: a few hundred bytes of zstd or
    // brotli can claim gigabytes, and no page or picture a harvest wants comes near it.
    static constexpr qint64 kMaxDecodedSize = qint64(1) << 30;

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
};
