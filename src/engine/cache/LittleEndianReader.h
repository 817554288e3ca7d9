#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <optional>

// Fixed-width little-endian fields read out of untrusted bytes. Every read is checked against the
// buffer with 64-bit arithmetic, so a hostile offset or length yields std::nullopt instead of
// reading past the end; the buffer is never reinterpreted as a struct.
class LittleEndianReader
{
public:
    explicit LittleEndianReader(QByteArrayView bytes) : bytes_(bytes) {}

    qint64 size() const { return bytes_.size(); }

    // True when [offset, offset + length) lies inside the buffer.
    bool contains(qint64 offset, qint64 length) const;

    std::optional<quint16> u16(qint64 offset) const;
    std::optional<quint32> u32(qint64 offset) const;
    std::optional<quint64> u64(qint64 offset) const;
    std::optional<qint64> i64(qint64 offset) const;
    std::optional<QByteArrayView> bytes(qint64 offset, qint64 length) const;

private:
    std::optional<quint64> unsignedField(qint64 offset, int width) const;

    QByteArrayView bytes_;
};
