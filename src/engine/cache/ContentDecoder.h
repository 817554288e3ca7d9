#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

// Undoes an HTTP Content-Encoding (gzip, x-gzip, deflate, br, zstd; identity and empty pass through).
class ContentDecoder
{
public:
    // The decoded body, or std::nullopt when `encoding` is unknown or the data does not decode.
    // Callers pass a failed body through as stored rather than dropping it.
    static std::optional<QByteArray> decode(const QByteArray& stored, const QString& encoding);

    // The decoded size read off the stored bytes without decoding, where the format records it
    // (gzip's length trailer, a zstd frame header with its content size, identity); std::nullopt otherwise.
    // `head` and `tail` are the first and last bytes of the stored body (a few dozen of each are enough);
    // `storedLength` is the whole stored length.
    static std::optional<qint64> sizeHint(const QByteArray& head, const QByteArray& tail, qint64 storedLength,
                                          const QString& encoding);
};
