#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QtEndian>
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
    bool contains(qint64 offset, qint64 length) const
    {
        return offset >= 0 && length >= 0 && offset <= bytes_.size() && length <= bytes_.size() - offset;
    }

    // Defined here so that they inline: walks read several fields of every record.
    std::optional<quint16> u16(qint64 offset) const { return field<quint16>(offset); }
    std::optional<quint32> u32(qint64 offset) const { return field<quint32>(offset); }
    std::optional<quint64> u64(qint64 offset) const { return field<quint64>(offset); }
    std::optional<qint64> i64(qint64 offset) const { return field<qint64>(offset); }
    std::optional<QByteArrayView> bytes(qint64 offset, qint64 length) const;

private:
    template <typename T>
    std::optional<T> field(qint64 offset) const
    {
        if (!contains(offset, qint64(sizeof(T))))
            return std::nullopt;
        return qFromLittleEndian<T>(bytes_.data() + offset);
    }

    QByteArrayView bytes_;
};
