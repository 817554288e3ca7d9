// libFuzzer target for what reads the untrusted parts of a cached response: the stored head, the stored
// body with its Content-Encoding, and the URL a local file is named after. The first input byte chooses.

#include "engine/cache/ContentDecoder.h"
#include "engine/cache/HttpResponseHead.h"
#include "engine/cache/LocalFileName.h"

#include <QList>

#include <array>
#include <cstddef>
#include <cstdint>

namespace
{

// Small enough that a bomb found by the fuzzer stays within its memory limit.
constexpr qint64 kFuzzDecodedCap = 64 * 1024 * 1024;

void require(bool condition)
{
    if (!condition)
        __builtin_trap();
}

void fuzzHead(const QByteArray& raw)
{
    const std::optional<HttpResponseHead> head = HttpResponseHead::parse(raw);
    if (!head)
        return;
    require(head->statusCode() >= 0 && head->statusCode() <= 999);
    (void)head->contentType();
    (void)head->contentEncoding();
    (void)head->field("content-length");
}

// Collects a streamed body, refusing past the cap as decode() does.
class CollectingSink final : public ByteSink
{
public:
    bool write(QByteArrayView bytes) override
    {
        require(bytes.size() <= ContentDecoder::kOutputChunk);
        collected.append(bytes);
        return true;
    }

    QByteArray collected;
};

// The body fed in pieces of `pieceSize` bytes decodes as the whole does.
void requireSameInPieces(const QByteArray& stored, const QString& encoding, qsizetype pieceSize,
                         const std::optional<QByteArray>& whole)
{
    CollectingSink sink;
    ContentDecoder decoder(encoding, sink, kFuzzDecodedCap);
    for (qsizetype at = 0; at < stored.size(); at += pieceSize) {
        if (!decoder.write(QByteArrayView(stored).sliced(at, std::min(pieceSize, stored.size() - at))))
            break;
    }
    const bool decoded = decoder.finish() == ContentDecoder::Outcome::Decoded;
    require(decoded == whole.has_value());
    if (decoded)
        require(sink.collected == *whole);
}

void fuzzBody(const QByteArray& stored, const QString& encoding)
{
    const qsizetype edge = std::min<qsizetype>(stored.size(), 32);
    const QByteArray head = stored.size() <= 4096 ? stored : stored.first(edge);
    const std::optional<qint64> hint = ContentDecoder::sizeHint(head, stored.right(edge), stored.size(), encoding);
    const std::optional<QByteArray> decoded = ContentDecoder::decode(stored, encoding, kFuzzDecodedCap);
    if (decoded)
        require(decoded->size() <= std::max<qint64>(kFuzzDecodedCap, stored.size()));
    // A zstd frame's recorded content size is checked by the decoder itself, so the two must agree.
    if (encoding == u"zstd" && hint && decoded && *hint <= kFuzzDecodedCap)
        require(*hint == decoded->size());
    requireSameInPieces(stored, encoding, 1 + stored.size() % 97, decoded);
    if (encoding.isEmpty()) {
        require(hint == stored.size());
        require(decoded == stored);
    }
}

void fuzzFileName(const QByteArray& url)
{
    const LocalFileName name = LocalFileName::forUrl(QString::fromUtf8(url), QStringLiteral("text/html"));
    const QString fileName = name.withCounter(1);
    require(!name.stem.isEmpty());
    require(fileName.toUtf8().size() <= LocalFileName::kMaxBytes);
    require(!fileName.startsWith(u'.'));
    for (const char32_t c : fileName.toUcs4())
        require(c != u'/' && c != u'\\' && c >= 0x20 && (c < 0xd800 || c > 0xdfff));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    static const std::array<QString, 6> kEncodings = {QString(),
                                                      QStringLiteral("gzip"),
                                                      QStringLiteral("deflate"),
                                                      QStringLiteral("br"),
                                                      QStringLiteral("zstd"),
                                                      QStringLiteral("gzip, br")};
    const QByteArray rest(reinterpret_cast<const char*>(data) + 1, static_cast<qsizetype>(size - 1));
    const size_t choice = data[0] % (kEncodings.size() + 2);
    if (choice < kEncodings.size())
        fuzzBody(rest, kEncodings[choice]);
    else if (choice == kEncodings.size())
        fuzzHead(rest);
    else
        fuzzFileName(rest);
    return 0;
}
