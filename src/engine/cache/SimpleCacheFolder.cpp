#include "engine/cache/SimpleCacheFolder.h"

#include "engine/cache/ChromiumCacheKey.h"
#include "engine/cache/ChromiumHttpEntry.h"
#include "engine/cache/FolderHandle.h"
#include "engine/cache/HttpResponseHead.h"
#include "engine/cache/SimpleEntryFile.h"
#include "engine/cache/SimpleIndexFile.h"
#include "engine/cache/SimpleSparseFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <array>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

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

bool isLowerHexDigit(char digit)
{
    return (digit >= '0' && digit <= '9') || (digit >= 'a' && digit <= 'f');
}

bool isEntryFileNameBytes(std::string_view fileName)
{
    return fileName.size() == hashDigits + 2 && fileName.substr(hashDigits) == "_0" &&
           std::all_of(fileName.begin(), fileName.begin() + hashDigits, isLowerHexDigit);
}

} // namespace

SimpleCacheFolder::SimpleCacheFolder(const QString& folder, Stream0 stream0)
    : path_(QDir(folder).absolutePath()), stream0_(stream0)
{}

bool SimpleCacheFolder::isEntryFileName(const QString& fileName)
{
    if (fileName.size() != hashDigits + 2 || !fileName.endsWith(QLatin1String("_0")))
        return false;
    return std::all_of(fileName.begin(), fileName.begin() + hashDigits,
                       [](QChar digit) { return digit.unicode() < 0x80 && isLowerHexDigit(char(digit.unicode())); });
}

QStringList SimpleCacheFolder::entryFileNames() const
{
    // Read with readdir rather than QDir: QDir builds a QFileInfo per file, which costs more than
    // reading the entries themselves in a folder of tens of thousands of files.
    std::vector<std::array<char, hashDigits + 2>> names;
    DIR* dir = ::opendir(QFile::encodeName(path_).constData());
    if (!dir)
        return {};
    const int dirFd = ::dirfd(dir);
    while (const dirent* item = ::readdir(dir)) {
        const std::string_view name(item->d_name);
        if (!isEntryFileNameBytes(name))
            continue;
        // Only regular files, and no symbolic links, as QDir::Files | QDir::NoSymLinks would list.
        bool regular = item->d_type == DT_REG;
        if (item->d_type == DT_UNKNOWN) {
            struct stat status;
            regular = ::fstatat(dirFd, item->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(status.st_mode);
        }
        if (!regular)
            continue;
        std::array<char, hashDigits + 2> bytes;
        std::copy(name.begin(), name.end(), bytes.begin());
        names.push_back(bytes);
    }
    ::closedir(dir);
    // Entry names are ASCII, so byte order is the order QString would sort them in.
    std::sort(names.begin(), names.end());
    QStringList result;
    result.reserve(qsizetype(names.size()));
    for (const auto& name : names)
        result.append(QString::fromLatin1(name.data(), qsizetype(name.size())));
    return result;
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
                                                       const QHash<quint64, QDateTime>& lastUsedTimes,
                                                       const std::shared_ptr<const FolderHandle>& openFolder,
                                                       BatchFileReader::File* prefetched) const
{
    if (!isEntryFileName(fileName))
        return std::nullopt;
    const QString entryPath = path_ + QLatin1Char('/') + fileName;
    const bool readAhead = prefetched && prefetched->error == 0;
    if (readAhead && !S_ISREG(prefetched->status.st_mode))
        return std::nullopt; // a FIFO, device or folder in place of an entry file
    std::optional<SimpleEntryFile> file;
    if (readAhead && prefetched->head.size() == prefetched->status.st_size) {
        file = SimpleEntryFile::fromWholeFile(prefetched->status, std::move(prefetched->head), fileName);
    } else {
        // Not read ahead, or larger than what was: its head and tail are read now.
        file = openFolder ? SimpleEntryFile::read(openFolder->pathOrName(path_, fileName), openFolder->fd())
                          : SimpleEntryFile::read(entryPath);
    }
    if (!file)
        return std::nullopt;
    const std::optional<ChromiumHttpEntry> http =
        stream0_ == Stream0::CacheStorage ? ChromiumHttpEntry::fromCacheStorage(file->key(), file->responseInfo())
                                          : ChromiumHttpEntry::fromStreams(file->key(), file->responseInfo());
    if (!http)
        return std::nullopt;
    const HttpResponseHead& head = http->head();

    CacheEntry entry = http->toCacheEntry(path_);
    entry.entryKey = fileName;
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
        entry.body =
            StoredBody{entryPath, file->bodyOffset(), file->bodyLength(), head.contentEncoding(), file->bodyCrc32(),
                       {},        file->stamp()};
        if (const std::optional<QByteArrayView> body = file->checkedBody())
            entry.body.held = body->toByteArray();
        entry.size = ChromiumHttpEntry::sizeHintOf(entry.body, file->bodyHead(), file->bodyTail());
    }
    if (openFolder && openFolder->fd() != AT_FDCWD)
        entry.body.folder = openFolder;
    return entry;
}

std::optional<StoredBody> SimpleCacheFolder::sparseBody(const QString& hashName, QByteArrayView key,
                                                        const QString& contentRange,
                                                        const QString& contentEncoding) const
{
    // Ranges of an encoded resource could only be sized by decoding them; browsers do not ask for those.
    const std::optional<qint64> resourceLength = ChromiumHttpEntry::resourceLengthOf(contentRange);
    if (!ChromiumHttpEntry::isIdentity(contentEncoding) || !resourceLength)
        return std::nullopt;
    const QString sparsePath = path_ + QLatin1Char('/') + hashName + QLatin1String("_s");
    const std::optional<SimpleSparseFile> sparse = SimpleSparseFile::read(sparsePath, key);
    // Only a gap-free set of ranges is the whole resource; they make up the body in resource order.
    if (!sparse || sparse->ranges().isEmpty() || !sparse->coversWhole(*resourceLength))
        return std::nullopt;
    const QList<SimpleSparseFile::Range>& ranges = sparse->ranges();
    StoredBody body{sparsePath,     ranges.constFirst().fileOffset, *resourceLength, QString(), std::nullopt, {},
                    sparse->stamp()};
    if (ranges.size() > 1) {
        for (const SimpleSparseFile::Range& range : ranges)
            body.pieces.append(StoredBody::Piece{sparsePath, range.fileOffset, range.length});
    }
    return body;
}

std::optional<QString> SimpleCacheFolder::urlOf(const QString& fileName, const FolderHandle* openFolder) const
{
    if (!isEntryFileName(fileName))
        return std::nullopt;
    const std::optional<QByteArray> key =
        openFolder ? SimpleEntryFile::readKey(openFolder->pathOrName(path_, fileName), openFolder->fd())
                   : SimpleEntryFile::readKey(path_ + QLatin1Char('/') + fileName);
    return key ? ChromiumCacheKey::urlOf(*key) : std::nullopt;
}

std::optional<CacheEntry> SimpleCacheFolder::referenceOf(const QString& fileName) const
{
    const std::optional<QString> url = urlOf(fileName);
    if (!url)
        return std::nullopt;
    CacheEntry entry;
    entry.url = *url;
    entry.sourceFolder = path_;
    entry.entryKey = fileName;
    return entry;
}

UrlCache::RemoveOutcome SimpleCacheFolder::removeEntry(const QString& fileName, const QString& url) const
{
    // Never delete on the name alone: the browser may have replaced the entry since it was indexed.
    if (urlOf(fileName) != url)
        return UrlCache::RemoveOutcome::Gone;
    const QString stem = path_ + QLatin1Char('/') + hashNameOf(fileName);
    if (::unlink(QFile::encodeName(stem + QLatin1String("_0")).constData()) != 0)
        return errno == ENOENT ? UrlCache::RemoveOutcome::Gone : UrlCache::RemoveOutcome::Failed;
    // Companions that do not exist count as removed.
    QFile::remove(stem + QLatin1String("_1"));
    QFile::remove(stem + QLatin1String("_s"));
    return UrlCache::RemoveOutcome::Removed;
}

UrlCache::RemoveOutcome SimpleCacheFolder::removeEntry(const CacheEntry& entry) const
{
    if (entry.sourceFolder != path_ || !isEntryFileName(entry.entryKey))
        return UrlCache::RemoveOutcome::Gone;
    // The body's file is this entry's own (_0 or _s); when it is not the one read, the entry was rewritten.
    if (entry.body.stamp) {
        struct stat status;
        if (::lstat(QFile::encodeName(entry.body.file).constData(), &status) != 0 ||
            StoredBody::FileStamp::of(status) != *entry.body.stamp)
            return UrlCache::RemoveOutcome::Gone;
    }
    return removeEntry(entry.entryKey, entry.url);
}
