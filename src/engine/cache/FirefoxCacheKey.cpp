#include "engine/cache/FirefoxCacheKey.h"

std::optional<QByteArray> FirefoxCacheKey::url(QByteArrayView key)
{
    unsigned char previousTag = 0;
    qsizetype pos = 0;
    while (pos < key.size()) {
        const auto tag = static_cast<unsigned char>(key[pos++]);
        if (tag == ':') {
            if (pos == key.size())
                return std::nullopt;
            return key.sliced(pos).toByteArray();
        }
        if (tag < 0x20 || tag > 0x7F || tag < previousTag)
            return std::nullopt;
        previousTag = tag;
        // Skip the value up to the first single comma.
        for (;; ++pos) {
            if (pos >= key.size())
                return std::nullopt;
            if (key[pos] != ',')
                continue;
            if (pos + 1 < key.size() && key[pos + 1] == ',') {
                ++pos;
                continue;
            }
            ++pos;
            break;
        }
    }
    return std::nullopt;
}
