#pragma once

#include <QByteArrayView>
#include <QtGlobal>
#include <optional>

// The fields of one protocol-buffer message, read off untrusted bytes one after another. Only the wire
// format is known here: a caller that wants a nested message reads the field's bytes with a reader of its
// own, so nesting costs no recursion and goes only as deep as the caller's code does. Every field read
// consumes at least one byte and every length is checked against what is left, so a walk is linear in
// the message's size. Groups (wire types 3 and 4, long deprecated) count as malformed.
class ProtobufReader
{
public:
    // A varint longer than this cannot be a 64-bit value.
    static constexpr int kMaxVarintBytes = 10;
    // The largest field number the format allows (29 bits).
    static constexpr quint64 kMaxFieldNumber = (quint64(1) << 29) - 1;

    enum class WireType
    {
        Varint = 0,
        Fixed64 = 1,
        LengthDelimited = 2,
        Fixed32 = 5,
    };

    struct Field
    {
        quint32 number = 0;
        WireType type = WireType::Varint;
        quint64 value = 0;    // a varint's value, or a fixed-width field's bits
        QByteArrayView bytes; // a length-delimited field's bytes
    };

    // Reads `message` in place: it must outlive the reader and the fields' bytes.
    explicit ProtobufReader(QByteArrayView message) : message_(message) {}

    // The next field; std::nullopt at the end of the message or at the first malformed byte, which
    // malformed() then tells apart. Nothing is read after a malformed field.
    std::optional<Field> next();

    bool malformed() const { return malformed_; }

private:
    std::optional<quint64> readVarint();

    QByteArrayView message_;
    qsizetype position_ = 0;
    bool malformed_ = false;
};
