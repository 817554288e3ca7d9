// libFuzzer target for what reads a harvested page's untrusted bytes: the page model (the HTML parser and
// the line-by-line src= walk), the style-sheet scanner, the title that names the archive, the composition of the
// archive, and the quoted-printable and base64 encoders, each with the invariants the archive depends on: a strict
// reader finds the page, byte for byte, as the archive's only part, the encodings decode to what they were given, and
// the streaming writers give what the line functions give.

#include "engine/archive/CssReferenceFinder.h"
#include "engine/archive/MhtmlComposer.h"
#include "engine/archive/MimeEncoding.h"
#include "engine/archive/PageModel.h"
#include "engine/archive/PageText.h"
#include "engine/archive/ResourceResolver.h"
#include "engine/archive/StrictMimeReader.h"
#include "engine/cache/CollectingSink.h"
#include "engine/cache/MapCache.h"
#include "engine/save/DestinationNamer.h"

#include <QTemporaryDir>
#include <cstddef>
#include <cstdint>

namespace
{

void require(bool condition)
{
    if (!condition)
        __builtin_trap();
}

// The text quoted-printable `lines` stand for, as a strict reader decodes them; std::nullopt where it refuses them.
std::optional<QByteArray> decodeQuotedPrintable(const QByteArrayList& lines)
{
    QByteArray decoded;
    QByteArray error;
    if (!StrictMimeReader::detail::decodeQuotedPrintable(lines.join("\r\n"), decoded, error))
        return std::nullopt;
    return decoded;
}

// `bytes` through `Writer` in chunks whose sizes the bytes themselves choose, so that line breaks, blanks
// and escapes fall on every chunk boundary.
template <typename Writer>
std::optional<QByteArray> streamed(const QByteArray& bytes)
{
    return CollectingSink::through<Writer>(bytes, [&](qsizetype pos) { return 1 + quint8(bytes[pos]) % 61; });
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static QTemporaryDir folder;
    static MapCache cache(folder.path());
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const QByteArrayList lines = PageText::splitLines(bytes);

    for (const QByteArray& line : lines) {
        const QByteArray reference = ResourceResolver::ExtractSrcRef(line);
        require(reference.isEmpty() || line.contains(reference));
    }
    const PageModel page = PageModel::parse(QStringLiteral("http://host/dir/page.html"), bytes);
    for (const PageModel::Reference& reference : page.references()) {
        require(reference.url.startsWith(QLatin1String("http")));
        require(!reference.url.contains(QLatin1Char('\n')) && !reference.url.contains(QLatin1Char(' ')));
    }
    for (const PageReference& reference : CssReferenceFinder::find(QString::fromUtf8(bytes)))
        require(!reference.text.isEmpty());

    CollectingSink archive;
    require(MhtmlComposer(cache).compose(page, {}, archive));
    const StrictMimeReader::Archive read = StrictMimeReader::read(archive.collected);
    require(read.error.isEmpty() && read.parts.size() == 1 && read.parts.first().body == bytes);

    const QByteArrayList encoded = MimeEncoding::quotedPrintable(bytes);
    for (const QByteArray& line : encoded)
        require(line.size() <= MimeEncoding::kMaxLineLength && !line.endsWith(' ') && !line.endsWith('\t'));
    require(decodeQuotedPrintable(encoded) == bytes);
    require(QByteArray::fromBase64(MimeEncoding::base64Lines(bytes).join()) == bytes);
    require(streamed<MimeEncoding::QuotedPrintableWriter>(bytes) == CollectingSink::crlf(encoded));
    require(streamed<MimeEncoding::Base64Writer>(bytes) == CollectingSink::crlf(MimeEncoding::base64Lines(bytes)));

    require(
        DestinationNamer::isDirectChildName(DestinationNamer::documentName("index[1].htm", PageText::title(lines))));
    // The cache lives across inputs; a record of every lookup ever made would only slow the run down.
    cache.lookups.clear();
    return 0;
}
