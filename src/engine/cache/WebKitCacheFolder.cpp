#include "engine/cache/WebKitCacheFolder.h"

#include "engine/cache/FileDescriptor.h"
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

namespace
{

constexpr qsizetype kHashDigits = 40;
const QLatin1StringView kBlobSuffix("-blob");

bool isHexName(std::string_view name)
{
    return name.size() == std::size_t(kHashDigits) && std::all_of(name.begin(), name.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
           });
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
    return name.size() == 2 * kHashDigits + 1 && name[kHashDigits] == u'/' &&
           isHexName(name.left(kHashDigits).toStdString()) && isHexName(name.mid(kHashDigits + 1).toStdString());
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

WebKitCacheFolder::Parsed WebKitCacheFolder::parse(const QString& name) const
{
    Parsed parsed;
    if (!isRecordName(name))
        return parsed;
    const FileDescriptor file = FileDescriptor::openRegular(recordPath(name), parsed.status);
    if (!file.isOpen()) {
        if (parsed.status.st_mode != 0)
            parsed.record = WebKitRecord::Refusal::NotRegularFile;
        return parsed;
    }
    if (parsed.status.st_size > WebKitRecord::kMaxFileSize) {
        parsed.record = WebKitRecord::Refusal::TooLarge;
        return parsed;
    }
    parsed.bytes = QByteArray(qsizetype(parsed.status.st_size), Qt::Uninitialized);
    // Fewer bytes than the status said: the browser is rewriting the file.
    if (FileDescriptor::readAt(file.get(), parsed.bytes.data(), parsed.bytes.size(), 0) != parsed.bytes.size())
        return parsed;
    const QByteArray fileName = name.mid(kHashDigits + 1).toLatin1();
    const QByteArray folderName = name.left(kHashDigits).toLatin1();
    parsed.record = WebKitRecord::parse(parsed.bytes, salt_, fileName, folderName);
    return parsed;
}

WebKitCacheFolder::Read WebKitCacheFolder::referenceOf(const QString& name) const
{
    const Parsed parsed = parse(name);
    if (const WebKitRecord::Refusal* refusal = std::get_if<WebKitRecord::Refusal>(&parsed.record))
        return {std::nullopt, *refusal};
    CacheEntry entry;
    entry.url = std::get<WebKitRecord>(parsed.record).url();
    entry.sourceFolder = path_;
    entry.entryKey = name;
    return {std::move(entry), WebKitRecord::Refusal::None};
}

WebKitCacheFolder::Read WebKitCacheFolder::readEntry(const QString& name) const
{
    const Parsed parsed = parse(name);
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
        entry.body = StoredBody{path,
                                record.bodyOffset(),
                                entry.size,
                                encoding,
                                std::nullopt,
                                {},
                                StoredBody::FileStamp::of(parsed.status)};
        entry.body.held = record.inlineBody().toByteArray();
    } else {
        const QString blobPath = path + kBlobSuffix;
        struct stat blob;
        if (::lstat(QFile::encodeName(blobPath).constData(), &blob) != 0)
            return {std::nullopt,
                    errno == ENOENT ? WebKitRecord::Refusal::BlobMissing : WebKitRecord::Refusal::Unreadable};
        if (!S_ISREG(blob.st_mode))
            return {std::nullopt, WebKitRecord::Refusal::BlobNotRegularFile};
        if (quint64(blob.st_size) != record.bodySize())
            return {std::nullopt, WebKitRecord::Refusal::BlobSizeMismatch};
        entry.body = StoredBody{blobPath, 0, entry.size, encoding, std::nullopt, {}, StoredBody::FileStamp::of(blob)};
    }
    entry.localName = LocalFileName::forUrl(entry.url, entry.contentType).withCounter(1);
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
