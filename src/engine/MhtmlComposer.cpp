#include "engine/MhtmlComposer.h"

#include "engine/AtomicFile.h"
#include "engine/DestinationNamer.h"
#include "engine/MimeEncoding.h"
#include "engine/PageText.h"
#include "util/DateText.h"

#include <QFileInfo>
#include <QUrl>

namespace
{

const QByteArray kDelimiter = "------=gleaner";
// Without the closing form the engines show an empty page.
const QByteArray kClosingDelimiter = "------=gleaner--";

void appendLine(QByteArray& archive, const QByteArray& line)
{
    archive += line;
    archive += "\r\n";
}

void appendLines(QByteArray& archive, const QByteArrayList& lines)
{
    for (const QByteArray& line : lines)
        appendLine(archive, line);
}

// The page's address as the page part's location: the engines resolve the page's relative references
// against it, and find the resource parts by the addresses that gives.
QByteArray pageLocation(const QString& sourceUrl)
{
    const QUrl url(sourceUrl);
    return url.isValid() ? url.toEncoded() : sourceUrl.toUtf8();
}

} // namespace

MhtmlComposer::MhtmlComposer(UrlCache& cache) : cache_(cache) {}

std::variant<QByteArrayList, MhtmlComposer::Outcome> MhtmlComposer::readPage(const QString& localFile)
{
    if (localFile.isEmpty() || !QFileInfo::exists(localFile))
        return Outcome::NoLocalCopy;
    std::optional<QByteArrayList> lines = PageText::readLines(localFile);
    if (!lines)
        return Outcome::Failed;
    return std::move(*lines);
}

MhtmlComposer::Outcome MhtmlComposer::writeArchive(const QString& sourceUrl, const QByteArrayList& pageLines,
                                                   const QString& destination) const
{
    const QByteArray archive = compose(sourceUrl, pageLines, QDate::currentDate());
    return AtomicFile::write(destination, archive) ? Outcome::Written : Outcome::Failed;
}

MhtmlComposer::Outcome MhtmlComposer::ComposeArchive(const QString& sourceUrl, const QString& localFile,
                                                     const QString& destination) const
{
    const std::variant<QByteArrayList, Outcome> page = readPage(localFile);
    if (const Outcome* ended = std::get_if<Outcome>(&page))
        return *ended;
    return writeArchive(sourceUrl, std::get<QByteArrayList>(page), destination);
}

MhtmlComposer::Outcome MhtmlComposer::ArchiveIntoFolder(const QString& sourceUrl, const QString& localFile,
                                                        const QString& saveFolder) const
{
    const std::variant<QByteArrayList, Outcome> page = readPage(localFile);
    if (const Outcome* ended = std::get_if<Outcome>(&page))
        return *ended;
    const QByteArrayList& lines = std::get<QByteArrayList>(page);
    return writeArchive(sourceUrl, lines, DestinationNamer::documentDestName(localFile, saveFolder, lines));
}

QByteArray MhtmlComposer::compose(const QString& sourceUrl, const QByteArrayList& pageLines, const QDate& today) const
{
    QByteArray archive;
    // "From: <由 Microsoft Internet Explorer 5 保存>" in GBK, as such archives have always been written.
    appendLine(archive, "From: <\xD3\xC9 Microsoft Internet Explorer 5 \xB1\xA3\xB4\xE6>");
    appendLine(archive, "Subject: Microsoft Internet Explorer");
    appendLine(archive, "Date:" + DateText::format(today).toUtf8());
    appendLine(archive, "MIME-Version: 1.0");
    appendLine(archive, "Content-Type: multipart/related;");
    appendLine(archive, "        boundary=\"----=gleaner\";");
    appendLine(archive, "        type=\"text/html\"");
    appendLine(archive, "");
    appendLine(archive, "This is a multi-part message in MIME format.");
    appendLine(archive, "");
    appendLine(archive, "");
    appendLine(archive, kDelimiter);
    appendLine(archive, "Content-Type: text/html;");
    appendLine(archive, "Content-Location:" + pageLocation(sourceUrl));
    appendLine(archive, "");
    appendLines(archive, pageLines);

    const ResourceResolver resolver(cache_, sourceUrl, PageText::declaredCharset(pageLines));
    for (const QByteArray& line : pageLines) {
        // Each pass handles the first reference left, then drops its "src=" so that the next pass
        // finds the one after it; lower-case ones go first.
        QByteArray rest = line;
        while (rest.contains("src=") || rest.contains("SRC=")) {
            if (const std::optional<ResourceResolver::Resource> resource = resolver.ResolveResource(rest))
                appendPart(archive, *resource);
            const qsizetype at = rest.indexOf("src=");
            rest.remove(at >= 0 ? at : rest.indexOf("SRC="), 4);
        }
        for (const QByteArray& reference : ResourceResolver::LinkedStyleSheetRefs(line)) {
            if (const std::optional<ResourceResolver::Resource> sheet = resolver.ResolveStyleSheet(reference))
                appendPart(archive, *sheet);
        }
    }
    appendLine(archive, kClosingDelimiter);
    return archive;
}

void MhtmlComposer::appendPart(QByteArray& archive, const ResourceResolver::Resource& resource)
{
    const bool text = resource.kind != ResourceResolver::Kind::Picture;
    appendLine(archive, "");
    appendLine(archive, "");
    appendLine(archive, kDelimiter);
    appendLine(archive, "Content-Type: " + resource.contentType.toLatin1());
    appendLine(archive, text ? "Content-Transfer-Encoding: quoted-printable" : "Content-Transfer-Encoding: base64");
    appendLine(archive, "Content-Location:" + resource.url.toLatin1());
    appendLine(archive, "");
    // A resource that is not cached, or cannot be read, still gets its part, with no body.
    if (resource.cachedFile.isEmpty())
        return;
    if (text) {
        if (const std::optional<QByteArrayList> lines = PageText::readLines(resource.cachedFile))
            appendLines(archive, MimeEncoding::quotedPrintable(*lines));
    } else {
        appendLines(archive, MimeEncoding::EncodeFileBase64(resource.cachedFile));
    }
}
