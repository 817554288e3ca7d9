#include "engine/MhtmlComposer.h"

#include "engine/MimeEncoding.h"
#include "engine/PageText.h"
#include "engine/ResourceResolver.h"
#include "engine/cache/ByteSink.h"
#include "engine/cache/EntryBody.h"
#include "util/DateText.h"

#include <QUrl>

namespace
{

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
// against it, and find the resource parts by the addresses that gives.
QByteArray pageLocation(const QString& sourceUrl)
{
    const QUrl url(sourceUrl);
    return url.isValid() ? url.toEncoded() : sourceUrl.toUtf8();
}

// The cached body of `resource`, or nothing when it is not cached, cannot be read whole or is too large
// for a part.
std::optional<QByteArray> cachedBody(const ResourceResolver::Resource& resource)
{
    if (!resource.entry)
        return std::nullopt;
    std::variant<QByteArray, EntryBody::Refusal> body =
        EntryBody::read(resource.entry->body, MhtmlComposer::kMaxPartSize);
    if (QByteArray* bytes = std::get_if<QByteArray>(&body))
        return std::move(*bytes);
    return std::nullopt;
}

// One resource's part: its header lines, then its cached body encoded, or no body when there is none.
// False when the sink refused bytes.
bool writePart(BufferedSink& out, const ResourceResolver::Resource& resource, MhtmlComposer::Report& report)
{
    const bool text = resource.kind != ResourceResolver::Kind::Picture;
    if (!out.lines({"", "", kDelimiter, "Content-Type: " + resource.contentType.toLatin1(),
                    text ? "Content-Transfer-Encoding: quoted-printable" : "Content-Transfer-Encoding: base64",
                    "Content-Location:" + resource.url.toLatin1(), ""}))
        return false;
    ++report.references;
    const std::optional<QByteArray> body = cachedBody(resource);
    if (!body) {
        ++report.missing;
        return true;
    }
    ++report.embedded;
    if (text) {
        MimeEncoding::QuotedPrintableWriter encoder(out);
        return encoder.write(*body) && encoder.finish();
    }
    MimeEncoding::Base64Writer encoder(out);
    return encoder.write(*body) && encoder.finish();
}

} // namespace

MhtmlComposer::MhtmlComposer(UrlCache& cache) : cache_(cache) {}

bool MhtmlComposer::compose(const QString& sourceUrl, const QByteArrayList& pageLines, const QDate& today,
                            ByteSink& sink, Report* report) const
{
    Report found;
    BufferedSink out(sink);
    const bool written = [&] {
        // "From: <由 Microsoft Internet Explorer 5 保存>" in GBK, as such archives have always been written.
        const QByteArrayList head{"From: <\xD3\xC9 Microsoft Internet Explorer 5 \xB1\xA3\xB4\xE6>",
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
                                  "Content-Type: text/html;",
                                  "Content-Location:" + pageLocation(sourceUrl),
                                  ""};
        if (!out.lines(head) || !out.lines(pageLines))
            return false;

        const ResourceResolver resolver(cache_, sourceUrl, PageText::declaredCharset(pageLines));
        for (const QByteArray& line : pageLines) {
            // Each pass handles the first reference left, then drops its "src=" so that the next pass
            // finds the one after it; lower-case ones go first.
            QByteArray rest = line;
            while (rest.contains("src=") || rest.contains("SRC=")) {
                if (const std::optional<ResourceResolver::Resource> resource = resolver.ResolveResource(rest)) {
                    if (!writePart(out, *resource, found))
                        return false;
                }
                const qsizetype at = rest.indexOf("src=");
                rest.remove(at >= 0 ? at : rest.indexOf("SRC="), 4);
            }
            for (const QByteArray& reference : ResourceResolver::LinkedStyleSheetRefs(line)) {
                const std::optional<ResourceResolver::Resource> sheet = resolver.ResolveStyleSheet(reference);
                if (sheet && !writePart(out, *sheet, found))
                    return false;
            }
        }
        return out.line(kClosingDelimiter) && out.flush();
    }();
    if (report)
        *report = found;
    return written;
}

QByteArray MhtmlComposer::compose(const QString& sourceUrl, const QByteArrayList& pageLines, const QDate& today) const
{
    MemorySink archive;
    compose(sourceUrl, pageLines, today, archive);
    return archive.bytes_;
}
