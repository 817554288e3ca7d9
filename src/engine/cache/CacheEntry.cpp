#include "engine/cache/CacheEntry.h"

#include "engine/cache/EntryBody.h"

std::optional<qint64> CacheEntry::knownSize() const
{
    if (size != kUnknownSize)
        return size;
    const std::variant<qint64, EntryBody::Refusal> counted = EntryBody::decodedSize(body);
    if (const qint64* decoded = std::get_if<qint64>(&counted))
        return *decoded;
    return std::nullopt;
}
