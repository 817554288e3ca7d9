// libFuzzer target for the protocol buffer service workers' caches keep in stream 0 of each entry: the
// wire reader over the whole input, then the metadata parsed from it and the head made of that.

#include "engine/cache/CacheStorageMetadata.h"
#include "engine/cache/HttpResponseHead.h"
#include "engine/cache/ProtobufReader.h"

#include <cstddef>
#include <cstdint>

namespace
{

void require(bool condition)
{
    if (!condition)
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArrayView input(reinterpret_cast<const char*>(data), qsizetype(size));

    // Every field lies inside the input and takes at least one byte of it.
    ProtobufReader reader(input);
    qsizetype fields = 0;
    while (const std::optional<ProtobufReader::Field> field = reader.next()) {
        ++fields;
        require(field->number >= 1 && field->number <= ProtobufReader::kMaxFieldNumber);
        if (!field->bytes.isEmpty())
            require(field->bytes.data() >= input.data() && field->bytes.data() + field->bytes.size() <= input.end());
    }
    require(fields <= input.size());

    const CacheStorageMetadata metadata = CacheStorageMetadata::parse(input);
    if (metadata.refusal != CacheStorageMetadata::Refusal::None) {
        require(metadata.headerLines.isEmpty() && metadata.statusCode == 0);
        return 0;
    }
    require(metadata.statusCode >= 200 && metadata.statusCode <= 299 && metadata.statusCode != 206);
    require(metadata.headerCount <= CacheStorageMetadata::kMaxHeaders);
    require(metadata.headerLines.count('\0') == metadata.headerCount);
    // The head made of the fields parses back with the same status.
    const std::optional<HttpResponseHead> head = HttpResponseHead::parse(metadata.rawHead());
    require(head && head->statusCode() == metadata.statusCode);
    require(head->contentEncoding().isEmpty());
    return 0;
}
