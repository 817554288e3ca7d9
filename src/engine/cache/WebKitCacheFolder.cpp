#include "engine/cache/WebKitCacheFolder.h"

#include "engine/cache/FileDescriptor.h"
#include "engine/cache/FolderHandle.h"
#include "engine/cache/LocalFileName.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace
{

constexpr std::size_t kHashLength = 40;
const QLatin1StringView kBlobSuffix("-blob");

bool isHexDigit(char16_t c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

bool isHexName(std::string_view name)
{
    return name.size() == kHashLength && std::all_of(name.begin(), name.end(), isHexDigit);
}

// The names in `folder` that are SHA-1 digests in hex, of folders when `folders` is set, else of anything
// but a folder (a FIFO or device among records is listed, for reading to refuse). Unsorted.
std::vector<std::string> hexNamesIn(const QByteArray& folder, bool folders)
{
    std::vector<std::string> names;
    DIR* dir = ::opendir(folder.constData());
    if (!dir)
        return names;
    const int dirFd = ::dirfd(dir);
    while (const dirent* item = ::readdir(dir)) {
        if (!isHexName(item->d_name))
            continue;
        bool isFolder = item->d_type == DT_DIR;
        if (item->d_type == DT_UNKNOWN) {
            struct stat status;
            isFolder = ::fstatat(dirFd, item->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(status.st_mode);
        }
        if (isFolder == folders)
            names.emplace_back(item->d_name);
    }
    ::closedir(dir);
    return names;
}

QByteArray readSalt(const QString& versionPath)
{
    const std::optional<QByteArray> salt =
        FileDescriptor::readStart(versionPath + QLatin1String("/salt"), WebKitRecord::kSaltSize + 1);
    return salt && salt->size() == WebKitRecord::kSaltSize ? *salt : QByteArray();
}

// The coding of the stored body: the network library undoes the codings the browser asks for before the
// cache sees the body; one it does not know would reach the cache as it was sent.
QString storedEncodingOf(const QString& sentEncoding)
{
    static const QStringList undone{QStringLiteral("gzip"), QStringLiteral("x-gzip"), QStringLiteral("deflate"),
                                    QStringLiteral("br"), QStringLiteral("identity")};
    return undone.contains(sentEncoding) ? QString() : sentEncoding;
}

QString versionFolderName()
{
    return QStringLiteral("Version %1").arg(WebKitRecord::kVersion);
}

} // namespace

WebKitCacheFolder::WebKitCacheFolder(const QString& folder)
    : path_(QDir::cleanPath(QDir(folder).absolutePath())),
      recordsPath_(path_ + u'/' + versionFolderName() + QLatin1String("/Records")),
      salt_(readSalt(path_ + u'/' + versionFolderName()))
{}

bool WebKitCacheFolder::recognises(const QString& folder)
{
    return QFileInfo(folder + u'/' + versionFolderName() + QLatin1String("/Records")).isDir();
}

bool WebKitCacheFolder::isRecordName(const QString& name)
{
    if (name.size() != 2 * kHashDigits + 1 || name[kHashDigits] != u'/')
        return false;
    return std::all_of(name.begin(), name.begin() + kHashDigits, [](QChar c) { return isHexDigit(c.unicode()); }) &&
           std::all_of(name.begin() + kHashDigits + 1, name.end(), [](QChar c) { return isHexDigit(c.unicode()); });
}

QString WebKitCacheFolder::recordPath(const QString& name) const
{
    return recordsPath_ + u'/' + name.left(kHashDigits) + QLatin1String("/Resource/") + name.mid(kHashDigits + 1);
}

QStringList WebKitCacheFolder::recordNames() const
{
    const QByteArray records = QFile::encodeName(recordsPath_);
    std::vector<std::string> names;
    for (const std::string& partition : hexNamesIn(records, true)) {
        for (const std::string& record : hexNamesIn(records + '/' + partition.c_str() + "/Resource", false))
            names.push_back(partition + '/' + record);
    }
    // ASCII names: byte order is the order QString would sort them in.
    std::sort(names.begin(), names.end());
    QStringList result;
    result.reserve(qsizetype(names.size()));
    for (const std::string& name : names)
        result.append(QString::fromLatin1(name.data(), qsizetype(name.size())));
    return result;
}

std::shared_ptr<const FolderHandle> WebKitCacheFolder::openFolderOf(const QString& name) const
{
    return std::make_shared<const FolderHandle>(recordsPath_ + u'/' + partitionOf(name) + QLatin1String("/Resource"));
}

WebKitCacheFolder::Parsed WebKitCacheFolder::parse(const QString& name, const FolderHandle* openFolder) const
{
    Parsed parsed;
    if (!isRecordName(name))
        return parsed;
    // The name is ASCII: its folder and file names are views of one conversion.
    const QByteArray nameBytes = name.toLatin1();
    const QByteArray fileName = nameBytes.sliced(kHashDigits + 1);
    const FileDescriptor file = openFolder && openFolder->fd() != AT_FDCWD
                                    ? FileDescriptor::openRegular(fileName.constData(), parsed.status, openFolder->fd())
                                    : FileDescriptor::openRegular(recordPath(name), parsed.status);
    if (!file.isOpen()) {
        if (parsed.status.st_mode != 0)
            parsed.record = WebKitRecord::Refusal::NotRegularFile;
        return parsed;
    }
    if (parsed.status.st_size > WebKitRecord::kMaxFileSize) {
        parsed.record = WebKitRecord::Refusal::TooLarge;
        return parsed;
    }
    // One buffer a thread, grown to the largest record met: nothing of a record's bytes outlives its parse, and
    // a walk reads tens of thousands of them.
    thread_local std::vector<char> buffer;
    const qsizetype size = qsizetype(parsed.status.st_size);
    buffer.resize(std::max(buffer.size(), std::size_t(size)));
    // Fewer bytes than the status said: the browser is rewriting the file.
    if (FileDescriptor::readAt(file.get(), buffer.data(), size, 0) != size)
        return parsed;
    parsed.record = WebKitRecord::parse(QByteArrayView(buffer.data(), size), salt_, fileName,
                                        QByteArrayView(nameBytes).first(kHashDigits));
    return parsed;
}

WebKitCacheFolder::Read WebKitCacheFolder::referenceOf(const QString& name, const FolderHandle* openFolder) const
{
    const Parsed parsed = parse(name, openFolder);
    if (const WebKitRecord::Refusal* refusal = std::get_if<WebKitRecord::Refusal>(&parsed.record))
        return {std::nullopt, *refusal};
    CacheEntry entry;
    entry.url = std::get<WebKitRecord>(parsed.record).url();
    entry.sourceFolder = path_;
    entry.entryKey = name;
    return {std::move(entry), WebKitRecord::Refusal::None};
}

WebKitCacheFolder::Read WebKitCacheFolder::readEntry(const QString& name,
                                                     const std::shared_ptr<const FolderHandle>& openFolder) const
{
    const bool inOpenFolder = openFolder && openFolder->fd() != AT_FDCWD;
    const Parsed parsed = parse(name, openFolder.get());
    if (const WebKitRecord::Refusal* refusal = std::get_if<WebKitRecord::Refusal>(&parsed.record))
        return {std::nullopt, *refusal};
    const WebKitRecord& record = std::get<WebKitRecord>(parsed.record);
    if (const WebKitRecord::Refusal refusal = record.unusable(); refusal != WebKitRecord::Refusal::None)
        return {std::nullopt, refusal};

    const QString path = recordPath(name);
    CacheEntry entry;
    entry.url = record.url();
    entry.contentType = record.contentType();
    entry.size = qint64(record.bodySize());
    // The browser touches a record's file each time it uses the record: its time is the last use.
    entry.lastAccess = QDateTime::fromMSecsSinceEpoch(
        qint64(parsed.status.st_mtim.tv_sec) * 1000 + parsed.status.st_mtim.tv_nsec / 1'000'000, Qt::UTC);
    entry.sourceFolder = path_;
    entry.entryKey = name;
    const QString encoding = storedEncodingOf(record.sentContentEncoding());
    if (record.isBodyInline()) {
        entry.body.file = path;
        entry.body.offset = record.bodyOffset();
        entry.body.stamp = StoredBody::FileStamp::of(parsed.status);
    } else {
        const QString blobPath = path + kBlobSuffix;
        struct stat blob;
        const int blobFolder = inOpenFolder ? openFolder->fd() : AT_FDCWD;
        const QByteArray blobName =
            inOpenFolder ? name.sliced(kHashDigits + 1).toLatin1() + "-blob" : QFile::encodeName(blobPath);
        if (::fstatat(blobFolder, blobName.constData(), &blob, AT_SYMLINK_NOFOLLOW) != 0)
            return {std::nullopt,
                    errno == ENOENT ? WebKitRecord::Refusal::BlobMissing : WebKitRecord::Refusal::Unreadable};
        if (!S_ISREG(blob.st_mode))
            return {std::nullopt, WebKitRecord::Refusal::BlobNotRegularFile};
        if (quint64(blob.st_size) != record.bodySize())
            return {std::nullopt, WebKitRecord::Refusal::BlobSizeMismatch};
        entry.body.file = blobPath;
        entry.body.stamp = StoredBody::FileStamp::of(blob);
    }
    entry.body.length = entry.size;
    entry.body.contentEncoding = encoding;
    entry.responseHead = record.responseHeadFor(encoding);
    // Checked as the body is read: a walk that hashed every body would read them all whole.
    entry.body.storedSha1 = record.bodyHash();
    entry.body.sha1Salt = salt_;
    entry.localName = LocalFileName::forUrl(entry.url, entry.contentType).withCounter(1);
    if (inOpenFolder)
        entry.body.folder = openFolder;
    return {std::move(entry), WebKitRecord::Refusal::None};
}

UrlCache::RemoveOutcome WebKitCacheFolder::removeEntry(const CacheEntry& entry) const
{
    if (entry.sourceFolder != path_ || !isRecordName(entry.entryKey))
        return UrlCache::RemoveOutcome::Gone;
    const QString path = recordPath(entry.entryKey);
    // The browser writes a record anew when it stores the response again: another stamp is another entry.
    if (entry.body.stamp) {
        struct stat status;
        if (::lstat(QFile::encodeName(entry.body.file).constData(), &status) != 0 ||
            StoredBody::FileStamp::of(status) != *entry.body.stamp)
            return UrlCache::RemoveOutcome::Gone;
    }
    // The key alone decides: a reference may be of a record that is not usable.
    const Read current = referenceOf(entry.entryKey);
    if (!current.entry || current.entry->url != entry.url)
        return UrlCache::RemoveOutcome::Gone;
    if (::unlink(QFile::encodeName(path).constData()) != 0)
        return errno == ENOENT ? UrlCache::RemoveOutcome::Gone : UrlCache::RemoveOutcome::Failed;
    // A record without a blob has none to remove; the file in Blobs/ goes when the browser next tidies.
    if (::unlink(QFile::encodeName(path + kBlobSuffix).constData()) != 0 && errno != ENOENT)
        return UrlCache::RemoveOutcome::Failed;
    return UrlCache::RemoveOutcome::Removed;
}
