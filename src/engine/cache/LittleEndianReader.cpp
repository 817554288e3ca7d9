#include "engine/cache/LittleEndianReader.h"

std::optional<QByteArrayView> LittleEndianReader::bytes(qint64 offset, qint64 length) const
{
    if (!contains(offset, length))
        return std::nullopt;
    return bytes_.sliced(offset, length);
}
