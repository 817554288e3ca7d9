#include "engine/cache/ProtobufReader.h"

#include <QtEndian>

std::optional<quint64> ProtobufReader::readVarint()
{
    // Tags, lengths and most values fit one byte.
    if (position_ < message_.size() && !(quint8(message_[position_]) & 0x80))
        return quint8(message_[position_++]);
    quint64 value = 0;
    for (int index = 0; index < kMaxVarintBytes; ++index) {
        if (position_ >= message_.size())
            return std::nullopt;
        const quint8 byte = quint8(message_[position_++]);
        // The tenth byte holds the 64th bit alone; more would overflow.
        if (index == kMaxVarintBytes - 1 && byte > 1)
            return std::nullopt;
        value |= quint64(byte & 0x7f) << (7 * index);
        if (!(byte & 0x80))
            return value;
    }
    return std::nullopt;
}

std::optional<ProtobufReader::Field> ProtobufReader::next()
{
    if (malformed_ || position_ >= message_.size())
        return std::nullopt;
    const auto fail = [this]() -> std::optional<Field> {
        malformed_ = true;
        return std::nullopt;
    };
    const std::optional<quint64> tag = readVarint();
    if (!tag)
        return fail();
    const quint64 number = *tag >> 3;
    if (number == 0 || number > kMaxFieldNumber)
        return fail();
    Field field;
    field.number = quint32(number);
    const qsizetype left = message_.size() - position_;
    switch (*tag & 7) {
    case 0: {
        const std::optional<quint64> value = readVarint();
        if (!value)
            return fail();
        field.type = WireType::Varint;
        field.value = *value;
        return field;
    }
    case 1:
        if (left < 8)
            return fail();
        field.type = WireType::Fixed64;
        field.value = qFromLittleEndian<quint64>(message_.data() + position_);
        position_ += 8;
        return field;
    case 2: {
        const std::optional<quint64> length = readVarint();
        if (!length || *length > quint64(message_.size() - position_))
            return fail();
        field.type = WireType::LengthDelimited;
        field.bytes = message_.sliced(position_, qsizetype(*length));
        position_ += qsizetype(*length);
        return field;
    }
    case 5:
        if (left < 4)
            return fail();
        field.type = WireType::Fixed32;
        field.value = qFromLittleEndian<quint32>(message_.data() + position_);
        position_ += 4;
        return field;
    default:
        return fail();
    }
}
