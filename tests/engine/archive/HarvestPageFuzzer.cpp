// libFuzzer target for what reads a harvested page's untrusted bytes: the page model (the HTML parser and
// the line-by-line src= walk), the style-sheet scanner, the title that names the archive, the composition of the
// archive, and the quoted-printable and base64 encoders, each with the invariants the archive depends on, the streaming
// writers giving what the line functions give.

#include "engine/archive/CssReferenceFinder.h"
#include "engine/archive/MhtmlComposer.h"
#include "engine/archive/MimeEncoding.h"
#include "engine/archive/PageModel.h"
#include "engine/archive/PageText.h"
#include "engine/archive/ResourceResolver.h"
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

QByteArray decodeQuotedPrintable(const QByteArrayList& lines)
{
    QByteArray decoded;
    for (const QByteArray& line : lines) {
        const bool soft = line.endsWith('=');
        const QByteArray body = soft ? line.chopped(1) : line;
        for (qsizetype i = 0; i < body.size(); ++i) {
            if (body[i] == '=') {
                require(i + 2 < body.size()); // an escape is never split
                decoded += static_cast<char>(body.mid(i + 1, 2).toInt(nullptr, 16));
                i += 2;
            } else {
                decoded += body[i];
            }
        }
        if (!soft)
            decoded += '\n';
    }
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

    const QByteArray archive = MhtmlComposer(cache).compose(QStringLiteral("http://host/dir/page.html"), lines, {});
    require(archive.endsWith("------=gleaner--\r\n"));

    const QByteArrayList encoded = MimeEncoding::quotedPrintable(lines);
    for (const QByteArray& line : encoded)
        require(line.size() <= MimeEncoding::kMaxLineLength && !line.endsWith(' ') && !line.endsWith('\t'));
    QByteArray joined;
    for (const QByteArray& line : lines)
        joined += line + '\n';
    require(decodeQuotedPrintable(encoded) == joined);
    require(QByteArray::fromBase64(MimeEncoding::base64Lines(bytes).join()) == bytes);
    require(streamed<MimeEncoding::QuotedPrintableWriter>(bytes) == CollectingSink::crlf(encoded));
    require(streamed<MimeEncoding::Base64Writer>(bytes) == CollectingSink::crlf(MimeEncoding::base64Lines(bytes)));

    require(
        DestinationNamer::isDirectChildName(DestinationNamer::documentName("index[1].htm", PageText::title(lines))));
    // The cache lives across inputs; a record of every lookup ever made would only slow the run down.
    cache.lookups.clear();
    return 0;
}
