#include "engine/cache/CacheStorageMetadata.h"

#include "engine/cache/ProtobufReader.h"

namespace
{

using Refusal = CacheStorageMetadata::Refusal;
using WireType = ProtobufReader::WireType;

// Field numbers of the messages read.
constexpr quint32 kMetadataResponse = 2;
constexpr quint32 kResponseStatusCode = 1;
constexpr quint32 kResponseStatusText = 2;
constexpr quint32 kResponseType = 3;
constexpr quint32 kResponseHeader = 4;
constexpr quint32 kResponseTime = 6;
constexpr quint32 kResponseUrlList = 8;
constexpr quint32 kHeaderName = 1;
constexpr quint32 kHeaderValue = 2;

// A name and a value: both are line text in the head made of them, so line breaks and NULs would forge
// fields of their own.
bool isHeaderText(QByteArrayView text)
{
    for (const char c : text) {
        if (c == '\0' || c == '\r' || c == '\n')
            return false;
    }
    return true;
}

// Whether the field is one the stored body no longer matches: CacheStorage keeps bodies decoded.
bool describesStoredCoding(QByteArrayView name)
{
    return name.compare(QByteArrayView("content-encoding"), Qt::CaseInsensitive) == 0 ||
           name.compare(QByteArrayView("content-length"), Qt::CaseInsensitive) == 0;
}

Refusal readHeader(QByteArrayView message, CacheStorageMetadata& metadata)
{
    ProtobufReader reader(message);
    QByteArrayView name;
    QByteArrayView value;
    while (const std::optional<ProtobufReader::Field> field = reader.next()) {
        if (field->type != WireType::LengthDelimited)
            continue;
        if (field->number == kHeaderName)
            name = field->bytes;
        else if (field->number == kHeaderValue)
            value = field->bytes;
    }
    if (reader.malformed())
        return Refusal::Malformed;
    // A field this program could not write back faithfully is dropped, not the entry.
    if (name.isEmpty() || !isHeaderText(name) || !isHeaderText(value) || name.contains(':') ||
        describesStoredCoding(name))
        return Refusal::None;
    metadata.headerLines.append(name).append(": ").append(value).append('\0');
    ++metadata.headerCount;
    return Refusal::None;
}

Refusal readResponse(QByteArrayView message, CacheStorageMetadata& metadata)
{
    ProtobufReader reader(message);
    bool hasStatus = false;
    int headerFields = 0;
    while (const std::optional<ProtobufReader::Field> field = reader.next()) {
        const bool varint = field->type == WireType::Varint;
        const bool bytes = field->type == WireType::LengthDelimited;
        if (field->number == kResponseStatusCode && varint) {
            hasStatus = true;
            // int32 on the wire: a negative status comes as a ten-byte varint and fails the range check.
            metadata.statusCode = field->value <= 999 ? int(field->value) : -1;
        } else if (field->number == kResponseStatusText && bytes) {
            metadata.statusText = field->bytes.toByteArray();
        } else if (field->number == kResponseType && varint) {
            metadata.responseType = field->value;
        } else if (field->number == kResponseHeader && bytes) {
            if (++headerFields > CacheStorageMetadata::kMaxHeaders)
                return Refusal::TooManyHeaders;
            if (const Refusal refusal = readHeader(field->bytes, metadata); refusal != Refusal::None)
                return refusal;
        } else if (field->number == kResponseTime && varint) {
            metadata.responseTime = qint64(field->value);
        } else if (field->number == kResponseUrlList && bytes) {
            metadata.responseUrl = field->bytes.toByteArray();
        }
    }
    if (reader.malformed())
        return Refusal::Malformed;
    return hasStatus ? Refusal::None : Refusal::NoResponse;
}

} // namespace

CacheStorageMetadata CacheStorageMetadata::parse(QByteArrayView stream0)
{
    CacheStorageMetadata metadata;
    ProtobufReader reader(stream0);
    std::optional<QByteArrayView> response;
    while (const std::optional<ProtobufReader::Field> field = reader.next()) {
        // The last occurrence wins, as protocol buffers merge repeated singular fields.
        if (field->number == kMetadataResponse && field->type == WireType::LengthDelimited)
            response = field->bytes;
    }
    const auto refuse = [&metadata](Refusal refusal) {
        metadata = CacheStorageMetadata();
        metadata.refusal = refusal;
        return metadata;
    };
    if (reader.malformed())
        return refuse(Refusal::Malformed);
    if (!response)
        return refuse(Refusal::NoResponse);
    if (const Refusal refusal = readResponse(*response, metadata); refusal != Refusal::None)
        return refuse(refusal);
    if (metadata.responseType == kErrorType || metadata.responseType == kOpaqueRedirectType)
        return refuse(Refusal::ErrorType);
    if (metadata.statusCode < 200 || metadata.statusCode > 299 || metadata.statusCode == 206)
        return refuse(Refusal::NotSuccess);
    return metadata;
}

QByteArray CacheStorageMetadata::rawHead() const
{
    QByteArray head;
    head.reserve(16 + statusText.size() + headerLines.size());
    head.append("HTTP/1.1 ").append(QByteArray::number(statusCode));
    if (!statusText.isEmpty() && isHeaderText(statusText))
        head.append(' ').append(statusText);
    head.append('\0').append(headerLines).append('\0');
    return head;
}
