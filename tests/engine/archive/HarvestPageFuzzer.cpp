// libFuzzer target for what reads a harvested page's untrusted bytes: the page model (the HTML parser and
// the line-by-line src= walk), the style-sheet scanner, the title that names the archive, the composition of the
// archive, and the quoted-printable and base64 encoders, each with the invariants the archive depends on: a strict
// reader finds the page, byte for byte, as the archive's only part, the encodings decode to what they were given, and
// the streaming writers give what the line functions give; and what the finders keep stays within their caps.

#include "engine/archive/CssReferenceFinder.h"
#include "engine/archive/HtmlTokenizer.h"
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
#include <algorithm>
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
    const QByteArrayList srcTexts = ResourceResolver::srcReferences(bytes);
    qsizetype srcLength = 0;
    for (const QByteArray& text : srcTexts) {
        require(!text.isEmpty() && text.size() <= ResourceResolver::kMaxSrcReferenceLength);
        srcLength += text.size();
    }
    require(srcTexts.size() <= ResourceResolver::kMaxSrcReferences &&
            srcLength <= ResourceResolver::kMaxSrcTotalLength);
    HtmlTokenizer::tokenize(
        bytes,
        [](const HtmlTokenizer::StartTag& tag) {
            require(!tag.name.isEmpty() && tag.attributes.size() <= HtmlTokenizer::kMaxAttributes);
        },
        [](const QByteArray&, QByteArrayView) {});

    const PageModel page = PageModel::parse(QStringLiteral("http://host/dir/page.html"), bytes);
    require(page.references().size() <= PageModel::kMaxReferences);
    for (const PageModel::Reference& reference : page.references()) {
        require(reference.url.startsWith(QLatin1String("http")));
        require(!reference.url.contains(QLatin1Char('\n')) && !reference.url.contains(QLatin1Char(' ')));
    }
    bool cssCapped = false;
    const QList<PageReference> sheet =
        CssReferenceFinder::find(QString::fromUtf8(bytes), CssReferenceFinder::kMaxReferences, &cssCapped);
    require(sheet.size() <= CssReferenceFinder::kMaxReferences);
    for (const PageReference& reference : sheet)
        require(!reference.text.isEmpty() && reference.text.size() <= CssReferenceFinder::kMaxReferenceLength);
    // In ASCII, a sheet read as UTF-8 is read as it is in UTF-16.
    if (std::all_of(bytes.begin(), bytes.end(), [](char c) { return quint8(c) < 0x80; })) {
        bool utf8Capped = false;
        const QList<PageReference> inUtf8 =
            CssReferenceFinder::findInUtf8(bytes, CssReferenceFinder::kMaxReferences, &utf8Capped);
        require(inUtf8.size() == sheet.size() && utf8Capped == cssCapped);
        for (qsizetype i = 0; i < sheet.size(); ++i)
            require(inUtf8[i].text == sheet[i].text && inUtf8[i].kind == sheet[i].kind);
    }
    // The title read from the whole page is the one its lines give.
    require(PageText::title(QByteArrayView(bytes)) == PageText::title(lines));

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
