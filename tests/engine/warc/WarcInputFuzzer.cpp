// libFuzzer target for what a web archive's records make of untrusted bytes: a cached response head made
// into a record's head, and a page made into the visible text its package lists. The first input byte
// chooses.

#include "engine/archive/VisibleText.h"
#include "engine/warc/CdxjIndex.h"
#include "engine/warc/HttpResponseBlock.h"

#include <cstddef>
#include <cstdint>

namespace
{

void require(bool condition)
{
    if (!condition)
        __builtin_trap();
}

void fuzzHead(const QByteArray& cached)
{
    const std::optional<HttpResponseBlock> block = HttpResponseBlock::fromCachedHead(cached);
    if (!block)
        return;
    // A record's head is whole lines ending in the empty one, never longer than a few bytes per byte read.
    require(block->bytes().endsWith("\r\n\r\n"));
    require(block->bytes().size() <= 2 * cached.size() + 8);
    require(block->statusCode() >= 100 && block->statusCode() <= 999);
    (void)block->date();
}

void fuzzPage(const QByteArray& page)
{
    const QString text = VisibleText::of(page);
    require(text.toUtf8().size() <= VisibleText::kMaxTextBytes);
    (void)CdxjIndex::surtOf(QString::fromUtf8(page.left(4096)));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const QByteArray rest(reinterpret_cast<const char*>(data) + 1, qsizetype(size - 1));
    if (data[0] % 2 == 0)
        fuzzHead(rest);
    else
        fuzzPage(rest);
    return 0;
}
