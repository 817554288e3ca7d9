#include "engine/cache/LittleEndianReader.h"

#include <QtEndian>
#include <cstring>

bool LittleEndianReader::contains(qint64 offset, qint64 length) const
{
    return offset >= 0 && length >= 0 && offset <= bytes_.size() && length <= bytes_.size() - offset;
}

std::optional<quint64> LittleEndianReader::unsignedField(qint64 offset, int width) const
{
    if (!contains(offset, width))
        return std::nullopt;
    uchar field[8] = {};
    std::memcpy(field, bytes_.data() + offset, size_t(width));
    return qFromLittleEndian<quint64>(field);
}

std::optional<quint16> LittleEndianReader::u16(qint64 offset) const
{
    const std::optional<quint64> value = unsignedField(offset, 2);
    return value ? std::optional<quint16>(static_cast<quint16>(*value)) : std::nullopt;
}

std::optional<quint32> LittleEndianReader::u32(qint64 offset) const
{
    const std::optional<quint64> value = unsignedField(offset, 4);
    return value ? std::optional<quint32>(static_cast<quint32>(*value)) : std::nullopt;
}

std::optional<quint64> LittleEndianReader::u64(qint64 offset) const
{
    return unsignedField(offset, 8);
}

std::optional<qint64> LittleEndianReader::i64(qint64 offset) const
{
    const std::optional<quint64> value = unsignedField(offset, 8);
    return value ? std::optional<qint64>(static_cast<qint64>(*value)) : std::nullopt;
}

std::optional<QByteArrayView> LittleEndianReader::bytes(qint64 offset, qint64 length) const
{
    if (!contains(offset, length))
        return std::nullopt;
    return bytes_.sliced(offset, length);
}
