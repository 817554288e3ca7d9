#include "engine/cache/ChromiumResponseInfo.h"

#include "engine/cache/LittleEndianReader.h"

namespace
{

constexpr quint32 versionMask = 0xff;
constexpr quint32 supportedVersion = 3; // Chromium itself refuses every other one
constexpr quint32 truncatedFlag = 1u << 12;
constexpr quint32 extraFlagsPresentFlag = 1u << 31;
constexpr quint32 originalResponseTimeExtraFlag = 1u << 2;

} // namespace

std::optional<ChromiumResponseInfo> ChromiumResponseInfo::parse(QByteArrayView stream0)
{
    const LittleEndianReader pickle(stream0);
    const std::optional<quint32> payloadLength = pickle.u32(0);
    if (!payloadLength || !pickle.contains(4, *payloadLength))
        return std::nullopt;
    const LittleEndianReader payload(stream0.sliced(4, *payloadLength));

    qint64 position = 0;
    const std::optional<quint32> flags = payload.u32(position);
    if (!flags || (*flags & versionMask) != supportedVersion)
        return std::nullopt;
    position += 4;
    quint32 extraFlags = 0;
    if (*flags & extraFlagsPresentFlag) {
        const std::optional<quint32> extra = payload.u32(position);
        if (!extra)
            return std::nullopt;
        extraFlags = *extra;
        position += 4;
    }
    position += 16; // request time and response time
    if (extraFlags & originalResponseTimeExtraFlag)
        position += 8;

    const std::optional<quint32> headLength = payload.u32(position);
    if (!headLength)
        return std::nullopt;
    const std::optional<QByteArrayView> head = payload.bytes(position + 4, *headLength);
    if (!head)
        return std::nullopt;

    ChromiumResponseInfo info;
    info.rawHead = head->toByteArray();
    info.truncated = (*flags & truncatedFlag) != 0;
    return info;
}
