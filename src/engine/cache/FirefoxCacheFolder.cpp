#include "engine/cache/FirefoxCacheFolder.h"

#include "engine/cache/ContentDecoder.h"
#include "engine/cache/FirefoxCacheKey.h"
#include "engine/cache/FirefoxEntryFile.h"
#include "engine/cache/HttpResponseHead.h"
#include "engine/cache/KeyDigest.h"
#include "engine/cache/LocalFileName.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <algorithm>
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// Bytes from each end of an encoded body that let ContentDecoder read its decoded size off a length field.
constexpr qint64 kSizeHintEdge = 64;
// A body up to this size is handed over whole (it is mostly in memory already): zstd's frame header is
// trusted only when nothing can follow the frame.
constexpr qint64 kWholeBodyHint = 16 * 1024;

bool isHttpUrl(const QByteArray& url)
{
    const QByteArray scheme = url.left(8).toLower();
    return scheme.startsWith("http://") || scheme.startsWith("https://");
}

// Whether the stored body is the whole of a successful response. The browser also keeps error pages,
// responses it stopped downloading (fewer bytes than Content-Length) and ranges of a resource.
bool holdsWholeBody(const HttpResponseHead& head, qint64 storedLength)
{
    const int status = head.statusCode();
    if (status < 200 || status > 299)
        return false;
    const QString contentLength = head.field("content-length").trimmed();
    if (!contentLength.isEmpty()) {
        bool isNumber = false;
        const qint64 announcedLength = contentLength.toLongLong(&isNumber);
        if (!isNumber || announcedLength != storedLength)
            return false;
    }
    if (status != 206)
        return true;
    // A media element asks for "bytes=0-" and gets everything as a 206; only such a range is the resource.
    static const QRegularExpression wholeRange(QStringLiteral(R"(^bytes\s+0-(\d+)/(\d+)$)"),
                                               QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch range = wholeRange.match(head.field("content-range").trimmed());
    if (!range.hasMatch())
        return false;
    bool lastIsNumber = false;
    bool totalIsNumber = false;
    const qint64 last = range.captured(1).toLongLong(&lastIsNumber);
    const qint64 total = range.captured(2).toLongLong(&totalIsNumber);
    return lastIsNumber && totalIsNumber && total == storedLength && last == total - 1;
}

// The size of the body once its Content-Encoding is undone where the encoded data records it (see
// ContentDecoder::sizeHint), CacheEntry::kUnknownSize where it does not; std::nullopt when the file changed
// since its metadata was read.
std::optional<qint64> sizeHintOf(const FirefoxEntryFile& file, const QString& encoding)
{
    const qint64 length = file.bodyLength();
    if (encoding.isEmpty())
        return length;
    const qint64 edge = std::min(length, kSizeHintEdge);
    // Only zstd's hint needs the whole body; the ends of a small file are in memory already.
    const bool wantsWhole = length <= kWholeBodyHint && encoding == QLatin1String("zstd");
    const std::optional<QByteArray> head = file.readBody(0, wantsWhole ? length : edge);
    const std::optional<QByteArray> tail = file.readBody(length - edge, edge);
    if (!head || !tail)
        return std::nullopt;
    return ContentDecoder::sizeHint(*head, *tail, length, encoding).value_or(CacheEntry::kUnknownSize);
}

} // namespace

FirefoxCacheFolder::FirefoxCacheFolder(const QString& folder)
    : path_(QDir::cleanPath(QDir(folder).absolutePath())), entriesPath_(path_ + QStringLiteral("/entries"))
{}

bool FirefoxCacheFolder::isEntryFileName(const QString& fileName)
{
    return fileName.size() == 40 && std::all_of(fileName.begin(), fileName.end(), [](QChar c) {
               return (c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F') || (c >= u'a' && c <= u'f');
           });
}

QStringList FirefoxCacheFolder::entryFileNames() const
{
    // Without QDir::System, FIFOs and devices are left out as well as folders and links.
    QStringList names = QDir(entriesPath_).entryList(QDir::Files | QDir::NoSymLinks, QDir::Unsorted);
    names.removeIf([](const QString& name) { return !isEntryFileName(name); });
    std::sort(names.begin(), names.end());
    return names;
}

std::optional<FirefoxEntryFile> FirefoxCacheFolder::readHttpEntryFile(const QString& fileName, QByteArray* url) const
{
    if (!isEntryFileName(fileName))
        return std::nullopt;
    std::optional<FirefoxEntryFile> file = FirefoxEntryFile::read(entriesPath_ + u'/' + fileName);
    if (!file)
        return std::nullopt;
    // The browser names each file by the SHA-1 of its key; a file under another name is stale or misplaced.
    const KeyDigest::Sha1 digest = KeyDigest::sha1(file->key());
    if (QByteArrayView(reinterpret_cast<const char*>(digest.data()), qsizetype(digest.size()))
            .toByteArray()
            .toHex()
            .compare(fileName.toLatin1(), Qt::CaseInsensitive) != 0)
        return std::nullopt;
    std::optional<QByteArray> keyUrl = FirefoxCacheKey::url(file->key());
    if (!keyUrl || !isHttpUrl(*keyUrl))
        return std::nullopt; // predictor records and other non-HTTP keys share the folder
    *url = std::move(*keyUrl);
    return file;
}

std::optional<CacheEntry> FirefoxCacheFolder::referenceOf(const QString& fileName) const
{
    QByteArray url;
    if (!readHttpEntryFile(fileName, &url))
        return std::nullopt;
    CacheEntry entry;
    entry.url = QString::fromUtf8(url);
    entry.sourceFolder = path_;
    entry.entryKey = fileName;
    return entry;
}

std::optional<CacheEntry> FirefoxCacheFolder::readEntry(const QString& fileName, Detail detail) const
{
    QByteArray url;
    const std::optional<FirefoxEntryFile> file = readHttpEntryFile(fileName, &url);
    if (!file)
        return std::nullopt;
    const QString filePath = entriesPath_ + u'/' + fileName;
    const std::optional<QByteArray> rawHead = file->element("response-head");
    if (!rawHead)
        return std::nullopt;
    const std::optional<HttpResponseHead> head = HttpResponseHead::parse(*rawHead);
    if (!head || !holdsWholeBody(*head, file->bodyLength()))
        return std::nullopt;

    CacheEntry entry;
    entry.url = QString::fromUtf8(url);
    entry.lastAccess = QDateTime::fromSecsSinceEpoch(file->lastFetched(), Qt::UTC);
    if (detail == Detail::UrlAndTime)
        return entry;

    entry.contentType = head->contentType();
    entry.responseHead = *rawHead;
    QString encoding = head->contentEncoding();
    if (encoding == u"identity")
        encoding.clear();
    const std::optional<qint64> size = sizeHintOf(*file, encoding);
    if (!size)
        return std::nullopt;
    entry.size = *size;
    entry.sourceFolder = path_;
    entry.entryKey = fileName;
    entry.body = StoredBody{filePath, 0, file->bodyLength(), encoding, std::nullopt, {}, file->stamp()};
    entry.body.held = file->bodyIfRead();
    entry.localName = LocalFileName::forUrl(entry.url, entry.contentType).withCounter(1);
    return entry;
}

UrlCache::RemoveOutcome FirefoxCacheFolder::removeEntry(const CacheEntry& entry) const
{
    if (entry.sourceFolder != path_ || !isEntryFileName(entry.entryKey))
        return UrlCache::RemoveOutcome::Gone;
    const QByteArray filePath = QFile::encodeName(entriesPath_ + u'/' + entry.entryKey);
    // The browser rewrites an entry's file when it uses it again: another stamp is another entry now.
    struct stat status;
    if (::lstat(filePath.constData(), &status) != 0 ||
        (entry.body.stamp && StoredBody::FileStamp::of(status) != *entry.body.stamp))
        return UrlCache::RemoveOutcome::Gone;
    // The key alone decides: a reference may be of an entry that is not usable.
    const std::optional<CacheEntry> current = referenceOf(entry.entryKey);
    if (!current || current->url != entry.url)
        return UrlCache::RemoveOutcome::Gone;
    if (::unlink(filePath.constData()) != 0)
        return errno == ENOENT ? UrlCache::RemoveOutcome::Gone : UrlCache::RemoveOutcome::Failed;
    return UrlCache::RemoveOutcome::Removed;
}
