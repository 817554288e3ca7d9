#include "engine/cache/SimpleCacheFolder.h"

#include "engine/cache/ChromiumCacheKey.h"
#include "engine/cache/ChromiumHttpEntry.h"
#include "engine/cache/ExtractionFolder.h"
#include "engine/cache/HttpResponseHead.h"
#include "engine/cache/LocalFileName.h"
#include "engine/cache/SimpleEntryFile.h"
#include "engine/cache/SimpleIndexFile.h"
#include "engine/cache/SimpleSparseFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>

namespace
{

constexpr qsizetype hashDigits = 16;

QString hashNameOf(const QString& fileName)
{
    return fileName.left(hashDigits);
}

quint64 entryHashOf(const QString& fileName)
{
    return hashNameOf(fileName).toULongLong(nullptr, 16);
}

} // namespace

SimpleCacheFolder::SimpleCacheFolder(const QString& folder, ExtractionFolder& extraction)
    : path_(QDir(folder).absolutePath()), extraction_(&extraction)
{}

bool SimpleCacheFolder::isEntryFileName(const QString& fileName)
{
    if (fileName.size() != hashDigits + 2 || !fileName.endsWith(QLatin1String("_0")))
        return false;
    return std::all_of(fileName.begin(), fileName.begin() + hashDigits, [](QChar digit) {
        return (digit >= QLatin1Char('0') && digit <= QLatin1Char('9')) ||
               (digit >= QLatin1Char('a') && digit <= QLatin1Char('f'));
    });
}

QStringList SimpleCacheFolder::entryFileNames() const
{
    QStringList names = QDir(path_).entryList({QStringLiteral("*_0")}, QDir::Files | QDir::NoSymLinks, QDir::NoSort);
    names.removeIf([](const QString& name) { return !isEntryFileName(name); });
    std::sort(names.begin(), names.end());
    return names;
}

QHash<quint64, QDateTime> SimpleCacheFolder::lastUsedTimes() const
{
    return SimpleIndexFile::lastUsedTimes(path_);
}

QDateTime SimpleCacheFolder::lastUsed(const QString& fileName, const QHash<quint64, QDateTime>& lastUsedTimes) const
{
    const QDateTime indexed = lastUsedTimes.value(entryHashOf(fileName));
    if (indexed.isValid())
        return indexed;
    return QFileInfo(path_ + QLatin1Char('/') + fileName).lastModified().toUTC();
}

std::optional<CacheEntry> SimpleCacheFolder::readEntry(const QString& fileName,
                                                       const QHash<quint64, QDateTime>& lastUsedTimes) const
{
    if (!isEntryFileName(fileName))
        return std::nullopt;
    const QString entryPath = path_ + QLatin1Char('/') + fileName;
    const std::optional<SimpleEntryFile> file = SimpleEntryFile::read(entryPath);
    if (!file)
        return std::nullopt;
    const std::optional<ChromiumHttpEntry> http = ChromiumHttpEntry::fromStreams(file->key(), file->responseInfo());
    if (!http)
        return std::nullopt;
    const HttpResponseHead& head = http->head();

    CacheEntry entry = http->toCacheEntry(path_);
    const QDateTime indexed = lastUsedTimes.value(entryHashOf(fileName));
    entry.lastAccess = indexed.isValid() ? indexed : file->modified();
    if (head.statusCode() == 206) {
        // A range-fetched resource: the entry file holds only the head, the bytes are in the _s file.
        if (file->bodyLength() != 0)
            return std::nullopt;
        const std::optional<StoredBody> body =
            sparseBody(hashNameOf(fileName), file->key(), head.field("content-range"), head.contentEncoding());
        if (!body)
            return std::nullopt;
        entry.body = *body;
        entry.size = body->length;
    } else {
        entry.body = StoredBody{entryPath, file->bodyOffset(), file->bodyLength(), head.contentEncoding()};
        entry.size = ChromiumHttpEntry::decodedSize(entry.body, file->bodyHead(), file->bodyTail());
    }
    entry.localFile = extraction_->pathFor(entryPath, LocalFileName::forUrl(entry.url, entry.contentType));
    return entry;
}

std::optional<StoredBody> SimpleCacheFolder::sparseBody(const QString& hashName, const QByteArray& key,
                                                        const QString& contentRange,
                                                        const QString& contentEncoding) const
{
    // Ranges of an encoded resource could only be sized by decoding them; browsers do not ask for those.
    const std::optional<qint64> resourceLength = ChromiumHttpEntry::resourceLengthOf(contentRange);
    if (!ChromiumHttpEntry::isIdentity(contentEncoding) || !resourceLength)
        return std::nullopt;
    const QString sparsePath = path_ + QLatin1Char('/') + hashName + QLatin1String("_s");
    const std::optional<SimpleSparseFile> sparse = SimpleSparseFile::read(sparsePath, key);
    // Only a gap-free set of ranges is the whole resource, and a StoredBody is one contiguous byte range,
    // so a resource stored in several pieces cannot be offered yet.
    if (!sparse || !sparse->coversWhole(*resourceLength) || sparse->ranges().size() != 1)
        return std::nullopt;
    const SimpleSparseFile::Range& range = sparse->ranges().constFirst();
    return StoredBody{sparsePath, range.fileOffset, range.length, QString()};
}

std::optional<QString> SimpleCacheFolder::urlOf(const QString& fileName) const
{
    if (!isEntryFileName(fileName))
        return std::nullopt;
    const std::optional<QByteArray> key = SimpleEntryFile::readKey(path_ + QLatin1Char('/') + fileName);
    return key ? ChromiumCacheKey::urlOf(*key) : std::nullopt;
}

void SimpleCacheFolder::removeEntry(const QString& fileName, const QString& url) const
{
    // Never delete on the name alone: the browser may have replaced the entry since it was indexed.
    if (urlOf(fileName) != url)
        return;
    const QString stem = path_ + QLatin1Char('/') + hashNameOf(fileName);
    const QString mainFile = stem + QLatin1String("_0");
    if (!QFile::remove(mainFile) && QFile::exists(mainFile))
        return;
    // Companions that do not exist count as removed.
    QFile::remove(stem + QLatin1String("_1"));
    QFile::remove(stem + QLatin1String("_s"));
}
