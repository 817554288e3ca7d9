#include "engine/cache/CacheStorageMetadata.h"

#include "engine/cache/ChromiumTime.h"
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

Refusal readHeader(QByteArrayView message, QList<QPair<QByteArray, QByteArray>>& headers)
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
    if (!name.isEmpty() && isHeaderText(name) && isHeaderText(value) && !name.contains(':'))
        headers.append({name.toByteArray(), value.toByteArray()});
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
            if (const Refusal refusal = readHeader(field->bytes, metadata.headers); refusal != Refusal::None)
                return refusal;
        } else if (field->number == kResponseTime && varint) {
            metadata.responseTime = ChromiumTime::toUtc(qint64(field->value));
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
    QByteArray head = "HTTP/1.1 " + QByteArray::number(statusCode);
    if (isHeaderText(statusText))
        head += ' ' + statusText;
    head += '\0';
    for (const auto& [name, value] : headers) {
        if (name.compare("content-encoding", Qt::CaseInsensitive) == 0 ||
            name.compare("content-length", Qt::CaseInsensitive) == 0)
            continue;
        head += name + ": " + value + '\0';
    }
    head += '\0';
    return head;
}
