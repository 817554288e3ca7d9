#include "engine/cache/ChromiumResponseInfo.h"

#include "engine/cache/LittleEndianReader.h"

namespace
{

constexpr quint32 versionMask = 0xff;
constexpr quint32 supportedVersion = 3; // Chromium itself refuses every other one
constexpr quint32 certificateFlag = 1u << 8;
constexpr quint32 securityBitsFlag = 1u << 9;
constexpr quint32 certificateStatusFlag = 1u << 10;
constexpr quint32 varyDataFlag = 1u << 11;
constexpr quint32 truncatedFlag = 1u << 12;
constexpr quint32 connectionStatusFlag = 1u << 16;
constexpr quint32 timestampsFlag = 1u << 20;
// Vary data: older browsers keep a bare 16-byte MD5; current ones a 1 (its form) and a 32-byte SHA-256.
constexpr qint64 varyMd5Length = 16;
constexpr quint32 varySha256Form = 1;
constexpr qint64 varySha256Length = 4 + 32;
constexpr quint32 extraFlagsPresentFlag = 1u << 31;
constexpr quint32 originalResponseTimeExtraFlag = 1u << 2;

// A pickle string of `payload` at `*position`: its bytes, with `*position` moved past its padding.
std::optional<QByteArrayView> pickleString(const LittleEndianReader& payload, qint64* position)
{
    const std::optional<quint32> length = payload.u32(*position);
    if (!length)
        return std::nullopt;
    const std::optional<QByteArrayView> bytes = payload.bytes(*position + 4, *length);
    if (!bytes)
        return std::nullopt;
    *position += 4 + ((qint64(*length) + 3) & ~qint64(3));
    return bytes;
}

bool isAddressText(QByteArrayView text)
{
    if (text.isEmpty())
        return false;
    for (const char c : text) {
        const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!hex && c != '.' && c != ':')
            return false;
    }
    return true;
}

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
    const std::optional<qint64> responseTime = payload.i64(position + 8);
    if (!responseTime)
        return std::nullopt;
    position += 16; // request time and response time
    if (extraFlags & originalResponseTimeExtraFlag)
        position += 8;

    const std::optional<QByteArrayView> head = pickleString(payload, &position);
    if (!head)
        return std::nullopt;

    ChromiumResponseInfo info;
    info.rawHead = head->toByteArray();
    info.truncated = (*flags & truncatedFlag) != 0;
    info.responseTime = *responseTime;
    info.serverAddress = serverAddressAt(payload, position, *flags);
    return info;
}

QByteArray ChromiumResponseInfo::serverAddressAt(const LittleEndianReader& payload, qint64 position, quint32 flags)
{
    // Each timestamp is a structure of its own; the address behind them is not worth reading them for.
    if (flags & timestampsFlag)
        return {};
    if (flags & certificateFlag) {
        const std::optional<quint32> count = payload.u32(position);
        if (!count || *count > kMaxCertificates)
            return {};
        position += 4;
        for (quint32 i = 0; i < *count; ++i) {
            if (!pickleString(payload, &position))
                return {};
        }
    }
    if (flags & certificateStatusFlag)
        position += 4;
    if (flags & securityBitsFlag)
        position += 4;
    if (flags & connectionStatusFlag)
        position += 4;
    if (flags & varyDataFlag)
        position += payload.u32(position) == varySha256Form ? varySha256Length : varyMd5Length;
    const std::optional<QByteArrayView> host = pickleString(payload, &position);
    if (!host || host->size() > kMaxAddressLength || !isAddressText(*host))
        return {};
    return host->toByteArray();
}
