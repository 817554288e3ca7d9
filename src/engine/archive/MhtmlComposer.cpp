#include "engine/archive/MhtmlComposer.h"

#include "engine/archive/CssReferenceFinder.h"
#include "engine/archive/MimeEncoding.h"
#include "engine/archive/PageModel.h"
#include "engine/archive/PageText.h"
#include "engine/archive/ResourceResolver.h"
#include "engine/cache/ByteSink.h"
#include "engine/cache/EntryBody.h"
#include "engine/cache/UrlCache.h"
#include "util/DateText.h"

#include <QSet>
#include <QUrl>
#include <deque>

namespace
{

// The boundary is the same in every archive: every part's body is quoted-printable or base64, where "="
// stands only before two upper-case hex digits or a line end, and every header line starts with its
// name, so no line of a part can be, or start with, a delimiter line. Archives stay alike for like
// pages, and a part is streamed as it is read without a first pass to choose a boundary it lacks.
const QByteArray kDelimiter = "------=gleaner";
// Without the closing form the engines show an empty page.
const QByteArray kClosingDelimiter = "------=gleaner--";

// Collects the archive's short writes (header lines, page lines, small parts) and passes them on in
// blocks of about kBlockSize, so that a file sink makes a few large writes instead of one per line. A
// write that is a block by itself goes straight through.
class BufferedSink final : public ByteSink
{
public:
    static constexpr qsizetype kBlockSize = qsizetype(64) << 10;

    explicit BufferedSink(ByteSink& out) : out_(out) { buffer_.reserve(kBlockSize); }

    bool write(QByteArrayView bytes) override
    {
        if (failed_)
            return false;
        if (buffer_.size() + bytes.size() > kBlockSize && !flush())
            return false;
        if (bytes.size() >= kBlockSize) {
            failed_ = !out_.write(bytes);
            return !failed_;
        }
        buffer_.append(bytes);
        return true;
    }

    bool line(QByteArrayView text) { return write(text) && write("\r\n"); }

    bool lines(const QByteArrayList& texts)
    {
        for (const QByteArray& text : texts) {
            if (!line(text))
                return false;
        }
        return true;
    }

    bool flush()
    {
        if (!failed_ && !buffer_.isEmpty())
            failed_ = !out_.write(buffer_);
        buffer_.resize(0);
        return !failed_;
    }

private:
    ByteSink& out_;
    QByteArray buffer_;
    bool failed_ = false;
};

// Keeps the whole archive, for compose() as bytes.
class MemorySink final : public ByteSink
{
public:
    bool write(QByteArrayView bytes) override
    {
        bytes_.append(bytes);
        return true;
    }

    QByteArray bytes_;
};

// The page's address as the page part's location: the engines resolve the page's relative references
// against it, and find the resource parts by the addresses that gives. An address that is not valid goes
// as it is, but with every byte outside printable ASCII percent-encoded: it is a header line's end.
QByteArray pageLocation(const QString& sourceUrl)
{
    const QUrl url(sourceUrl);
    if (url.isValid())
        return url.toEncoded();
    QByteArray location;
    for (const char c : sourceUrl.toUtf8()) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte > ' ' && byte < 0x7F)
            location += c;
        else
            location += '%' + QByteArray::number(byte, 16).rightJustified(2, '0').toUpper();
    }
    return location;
}

// The type name of a Content-Type ("image/png; charset=x" gives "image/png"), lower case; empty unless it
// is a plain type/subtype, since it goes into a header line of the archive.
QByteArray plainTypeOf(const QString& contentType)
{
    const QByteArray type = contentType.section(QLatin1Char(';'), 0, 0).trimmed().toLower().toLatin1();
    const qsizetype slash = type.indexOf('/');
    if (slash <= 0 || slash == type.size() - 1)
        return {};
    for (const char c : type) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || QByteArrayView("/.+-_").contains(c);
        if (!plain)
            return {};
    }
    return type;
}

// The part's type: the one the cache kept, else the one the address gives away, else the one the
// reference implies.
QByteArray partTypeOf(const CacheEntry& entry, PageReference::Kind kind, const QString& url)
{
    const QByteArray cached = plainTypeOf(entry.contentType);
    if (!cached.isEmpty() && cached != "application/octet-stream")
        return cached;
    if (const auto byAddress = ResourceResolver::typeOfUrl(url))
        return byAddress->second.toLatin1();
    switch (kind) {
    case PageReference::Kind::StyleSheet:
        return "text/css";
    case PageReference::Kind::Script:
        return "text/javascript";
    case PageReference::Kind::Frame:
        return "text/html";
    case PageReference::Kind::Resource:
        break;
    }
    return cached.isEmpty() ? QByteArray("application/octet-stream") : cached;
}

bool isTextType(const QByteArray& type)
{
    return type == "text/css" || type == "text/html" || type.contains("javascript") || type.contains("ecmascript");
}

// The header lines of a part, held back until its body's first bytes arrive, so that a body that cannot
// be read at all leaves no part behind.
class PartGate final : public ByteSink
{
public:
    PartGate(BufferedSink& out, QByteArrayList header) : out_(out), header_(std::move(header)) {}

    bool write(QByteArrayView bytes) override
    {
        if (!opened_) {
            opened_ = true;
            if (!out_.lines(header_))
                return false;
        }
        return out_.write(bytes);
    }

    bool opened() const { return opened_; }

private:
    BufferedSink& out_;
    const QByteArrayList header_;
    bool opened_ = false;
};

// Hands a body on to its encoder, noting whether any of it arrived: a body with no bytes gets no part, not
// even the line end that an encoder closes an empty body with.
class BodyWatch final : public ByteSink
{
public:
    explicit BodyWatch(ByteSink& encoder) : encoder_(encoder) {}

    bool write(QByteArrayView bytes) override
    {
        arrived_ = arrived_ || !bytes.isEmpty();
        return encoder_.write(bytes);
    }

    bool arrived() const { return arrived_; }

private:
    ByteSink& encoder_;
    bool arrived_ = false;
};

// Streams `body` through `encoder`; the refusal, and whether the encoder finished (or had nothing to).
template <typename Encoder>
std::pair<EntryBody::Refusal, bool> encodeStreamed(const StoredBody& body, Encoder& encoder)
{
    BodyWatch watch(encoder);
    const EntryBody::Refusal refusal = EntryBody::stream(body, watch, MhtmlComposer::kMaxPartSize);
    const bool finished = refusal != EntryBody::Refusal::SinkFailed && (!watch.arrived() || encoder.finish());
    return {refusal, finished};
}

// An address waiting for its part, with what led to it.
struct PendingPart
{
    QString url; // absolute, fragment kept: the part's location
    PageReference::Kind kind;
    bool counted; // counts in the report (see PageModel::Reference::loadedByBrowser)
    int depth;    // sheets and frames between the page and it
};

// The text of a style sheet: its @charset, else its Content-Type's, else the page's, else UTF-8 or GBK.
QString sheetText(const QByteArray& bytes, const CacheEntry& entry, const QByteArray& pageCharset)
{
    QByteArray charset;
    if (bytes.startsWith("@charset \"")) {
        const qsizetype end = bytes.indexOf('"', 10);
        if (end > 10)
            charset = bytes.mid(10, end - 10).toLower();
    }
    if (charset.isEmpty())
        charset = PageModel::charsetOf(entry.contentType);
    if (charset.isEmpty())
        charset = pageCharset;
    return PageText::toUnicode(bytes, charset);
}

// Writes the parts of one archive, one address at a time.
class PartWriter
{
public:
    PartWriter(UrlCache& cache, const std::atomic<bool>& stop, MhtmlComposer::FollowCaps caps, BufferedSink& out,
               const PageModel& page)
        : cache_(cache), stop_(stop), caps_(caps), out_(out), page_(page)
    {
        report_.capped = page.capped();
        queue(page.references(), 0);
    }

    // False when the sink refused bytes.
    bool writeAll()
    {
        while (!pending_.empty()) {
            if (stop_.load(std::memory_order_relaxed))
                return false;
            const PendingPart part = std::move(pending_.front());
            pending_.pop_front();
            if (!written(part))
                return false;
        }
        return true;
    }

    const MhtmlComposer::Report& report() const { return report_; }

private:
    void queue(const QList<PageModel::Reference>& references, int depth)
    {
        for (const PageModel::Reference& reference : references) {
            if (seen_.contains(reference.url))
                continue;
            if (seen_.size() >= PageModel::kMaxReferences) {
                report_.capped = true;
                return;
            }
            seen_.insert(reference.url);
            pending_.push_back(PendingPart{reference.url, reference.kind, reference.loadedByBrowser, depth});
        }
    }

    void queueFound(const QList<PageReference>& found, const QString& base, bool counted, int depth)
    {
        QList<PageModel::Reference> references;
        const QUrl baseUrl(base);
        for (const PageReference& reference : found) {
            const QString url = ResourceResolver::ResolveRef(reference.text, baseUrl);
            if (!url.isEmpty())
                references.append(PageModel::Reference{url, reference.kind, counted});
        }
        queue(references, depth);
    }

    void missing(const PendingPart& part)
    {
        if (part.counted)
            ++report_.missing;
    }

    bool written(const PendingPart& part)
    {
        if (part.counted)
            ++report_.references;
        // Caches keep addresses without their fragment, as browsers fetch them.
        QUrl address(part.url);
        address.setFragment(QString());
        const QString fetched = address.toString(QUrl::FullyEncoded);
        const std::optional<CacheEntry> entry = cache_.lookupUnlessStopped(fetched, stop_);
        if (!entry) {
            missing(part);
            return true;
        }
        const QByteArray type = partTypeOf(*entry, part.kind, fetched);
        const bool sheet = type == "text/css" || part.kind == PageReference::Kind::StyleSheet;
        const bool frame = part.kind == PageReference::Kind::Frame && type == "text/html";
        if ((sheet || frame) && part.depth < MhtmlComposer::kMaxDepth) {
            if (followed_ < caps_.sheetsAndFrames && followedBytes_ < caps_.bytes)
                return writeParsed(part, *entry, type, fetched, frame);
            report_.capped = true;
        }
        return writeStreamed(part, *entry, type);
    }

    // Each part's encoded body ends with the CR LF that the next delimiter line owns.
    QByteArrayList header(const PendingPart& part, const QByteArray& contentType, bool text) const
    {
        return {
            kDelimiter,
            "Content-Type: " + contentType,
            text ? "Content-Transfer-Encoding: quoted-printable" : "Content-Transfer-Encoding: base64",
            "Content-Location:" + part.url.toLatin1(),
            "",
        };
    }

    // A part whose body is read as it is encoded.
    bool writeStreamed(const PendingPart& part, const CacheEntry& entry, const QByteArray& type)
    {
        if (entry.size > MhtmlComposer::kMaxPartSize) {
            missing(part);
            return true;
        }
        const bool text = isTextType(type);
        PartGate gate(out_, header(part, type, text));
        EntryBody::Refusal refusal;
        bool finished;
        if (text) {
            MimeEncoding::QuotedPrintableWriter encoder(gate);
            std::tie(refusal, finished) = encodeStreamed(entry.body, encoder);
        } else {
            MimeEncoding::Base64Writer encoder(gate);
            std::tie(refusal, finished) = encodeStreamed(entry.body, encoder);
        }
        if (refusal == EntryBody::Refusal::SinkFailed || !finished)
            return false;
        // A body refused part-way (damaged, changed meanwhile) leaves a part cut short: counted missing.
        if (refusal == EntryBody::Refusal::None && gate.opened()) {
            ++report_.embedded;
            report_.parts.append(entry);
        } else {
            missing(part);
        }
        return true;
    }

    // A sheet or frame document: read whole, its own references queued, then written as text.
    bool writeParsed(const PendingPart& part, const CacheEntry& entry, const QByteArray& type, const QString& fetched,
                     bool frame)
    {
        const qint64 maxSize = std::min(MhtmlComposer::kMaxParsedSize, caps_.bytes - followedBytes_);
        std::variant<QByteArray, EntryBody::Refusal> body = EntryBody::read(entry.body, maxSize);
        const QByteArray* bytes = std::get_if<QByteArray>(&body);
        if (!bytes) {
            // Too large to follow: still worth its part.
            if (std::get<EntryBody::Refusal>(body) == EntryBody::Refusal::TooLarge) {
                report_.capped = true;
                return writeStreamed(part, entry, type);
            }
            missing(part);
            return true;
        }
        ++followed_;
        followedBytes_ += bytes->size();
        QByteArray contentType = type;
        if (frame) {
            const PageModel document = PageModel::parse(fetched, *bytes, entry.contentType);
            if (!document.charset().isEmpty())
                contentType += "; charset=" + document.charset();
            report_.capped = report_.capped || document.capped();
            queue(document.references(), part.depth + 1);
        } else {
            const QList<PageReference> found = CssReferenceFinder::find(
                sheetText(*bytes, entry, page_.charset()), CssReferenceFinder::kMaxReferences, &report_.capped);
            queueFound(found, fetched, part.counted, part.depth + 1);
        }
        if (!out_.lines(header(part, contentType, true)))
            return false;
        MimeEncoding::QuotedPrintableWriter encoder(out_);
        if (!encoder.write(*bytes) || !encoder.finish())
            return false;
        ++report_.embedded;
        report_.parts.append(entry);
        return true;
    }

    UrlCache& cache_;
    const std::atomic<bool>& stop_;
    const MhtmlComposer::FollowCaps caps_;
    BufferedSink& out_;
    const PageModel& page_;
    std::deque<PendingPart> pending_;
    QSet<QString> seen_;
    int followed_ = 0;         // sheets and frame documents parsed
    qint64 followedBytes_ = 0; // their bytes
    MhtmlComposer::Report report_;
};

} // namespace

namespace
{
const std::atomic<bool> kNeverStopped{false};
} // namespace

MhtmlComposer::MhtmlComposer(UrlCache& cache, const std::atomic<bool>* stop)
    : MhtmlComposer(cache, stop, FollowCaps())
{}

MhtmlComposer::MhtmlComposer(UrlCache& cache, const std::atomic<bool>* stop, FollowCaps caps)
    : cache_(cache), stop_(stop != nullptr ? stop : &kNeverStopped), caps_(caps)
{}

bool MhtmlComposer::compose(const PageModel& page, const QDate& today, ByteSink& sink, Report* report) const
{
    BufferedSink out(sink);
    PartWriter parts(cache_, *stop_, caps_, out, page);
    const bool written = [&] {
        QByteArray pageType = "Content-Type: text/html;";
        if (!page.charset().isEmpty())
            pageType += " charset=" + page.charset();
        // "From: <由 Microsoft Internet Explorer 5 保存>" in GBK, as such archives have always been written.
        // The page part is quoted-printable: it holds the page's bytes as the browser had them, whatever
        // they are (NUL, a CR or LF alone, a line that would pass for a delimiter line).
        const QByteArrayList head{
            "From: <\xD3\xC9 Microsoft Internet Explorer 5 \xB1\xA3\xB4\xE6>",
            "Subject: Microsoft Internet Explorer",
            "Date:" + DateText::format(today).toUtf8(),
            "MIME-Version: 1.0",
            "Content-Type: multipart/related;",
            "        boundary=\"----=gleaner\";",
            "        type=\"text/html\"",
            "",
            "This is a multi-part message in MIME format.",
            "",
            "",
            kDelimiter,
            pageType,
            "Content-Transfer-Encoding: quoted-printable",
            "Content-Location:" + pageLocation(page.url()),
            "",
        };
        if (!out.lines(head))
            return false;
        MimeEncoding::QuotedPrintableWriter pageBody(out);
        return pageBody.write(page.bytes()) && pageBody.finish() && parts.writeAll() && out.line(kClosingDelimiter) &&
               out.flush();
    }();
    if (report)
        *report = parts.report();
    return written;
}

bool MhtmlComposer::compose(const QString& sourceUrl, const QByteArrayList& pageLines, const QDate& today,
                            ByteSink& out, Report* report) const
{
    return compose(PageModel::parse(sourceUrl, pageLines.join("\r\n")), today, out, report);
}

QByteArray MhtmlComposer::compose(const QString& sourceUrl, const QByteArrayList& pageLines, const QDate& today) const
{
    MemorySink archive;
    compose(sourceUrl, pageLines, today, archive);
    return archive.bytes_;
}
