#include "engine/cache/IndexDatFolder.h"

#include "engine/cache/FileDescriptor.h"
#include "engine/cache/HttpResponseHead.h"
#include "engine/cache/IndexDatFile.h"
#include "engine/cache/IndexDatFormat.h"

#include <QDir>
#include <QFile>
#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace
{

using Format = IndexDatFormat;

// Owns one open file descriptor; closing it also drops any flock() taken through it.
class OpenFile
{
public:
    // Opens only a regular file: a FIFO planted as index.dat would block the first read for ever.
    OpenFile(const QString& path, int mode)
        : fd_(::open(QFile::encodeName(path).constData(), mode | O_CLOEXEC | O_NOCTTY | O_NONBLOCK))
    {
        struct stat status;
        if (fd_ >= 0 && (::fstat(fd_, &status) != 0 || !S_ISREG(status.st_mode))) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~OpenFile()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;

    bool isOpen() const { return fd_ >= 0; }

    bool lock(int operation) const
    {
        int result;
        do
            result = ::flock(fd_, operation);
        while (result != 0 && errno == EINTR);
        return result == 0;
    }

    // At most `limit` bytes from the start; fewer when the file is shorter or shrinks meanwhile.
    QByteArray readStart(qint64 limit) const
    {
        struct stat status;
        if (::fstat(fd_, &status) != 0)
            return {};
        QByteArray bytes(qsizetype(std::min<qint64>(status.st_size, limit)), Qt::Uninitialized);
        bytes.truncate(FileDescriptor::readAt(fd_, bytes.data(), bytes.size(), 0));
        return bytes;
    }

    bool writeAt(qint64 offset, QByteArrayView bytes) const { return FileDescriptor::writeAt(fd_, bytes, offset); }

    void sync() const { ::fdatasync(fd_); }

private:
    int fd_;
};

enum class RemoveStep
{
    Removed,
    Kept,        // in use, or its file could not be deleted
    WriteFailed, // index.dat could not be written: nothing more should be tried
};

// Takes the entry of `record` out of `file` and out of index.dat on disk, deleting its local file at
// `localPath` first. `changed` is set once index.dat has been written to.
RemoveStep removeRecord(const OpenFile& index, IndexDatFile& file, const IndexDatUrlRecord& record,
                        const std::optional<QByteArray>& localPath, bool& changed)
{
    // The platform defers deleting an entry in use; a count left by a program that crashed looks the
    // same, so such an entry is left for the platform to deal with.
    if (record.useCount != 0)
        return RemoveStep::Kept;
    // The file goes first, as with the platform: an entry whose file cannot be deleted stays.
    // A file the record cannot name safely is left alone, and the entry is still removed.
    if (localPath && ::unlink(localPath->constData()) != 0 && errno != ENOENT)
        return RemoveStep::Kept;
    for (const IndexDatFile::Edit& edit : file.removeEntry(record.slotOffset)) {
        changed = true;
        // A failed write leaves at worst blocks that nothing points to, since the slot went first.
        if (!index.writeAt(edit.offset, edit.bytes))
            return RemoveStep::WriteFailed;
    }
    return RemoveStep::Removed;
}

QString indexPathIn(const QString& folder)
{
    return folder + QStringLiteral("/index.dat");
}

bool isSafeFileName(QByteArrayView name)
{
    return !name.isEmpty() && name != "." && name != ".." && !name.contains('/') && !name.contains('\\');
}

QDateTime fromFileTime(quint64 ticks)
{
    if (ticks < Format::fileTimeTicksTo1970)
        return {};
    return QDateTime::fromMSecsSinceEpoch(qint64((ticks - Format::fileTimeTicksTo1970) / 10'000), Qt::UTC);
}

constexpr qint64 nanoseconds(const struct timespec& time)
{
    return qint64(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
}

} // namespace

IndexDatFolder::IndexDatFolder(const QString& folder)
    : path_(QDir::cleanPath(QDir(folder).absolutePath())), indexPath_(indexPathIn(path_))
{}

bool IndexDatFolder::holdsIndex(const QString& folder)
{
    const OpenFile index(indexPathIn(folder), O_RDONLY);
    return index.isOpen() && IndexDatFile::hasKnownSignature(index.readStart(Format::signatureSize));
}

IndexDatFolder::Version IndexDatFolder::indexVersion() const
{
    struct stat status;
    if (::stat(QFile::encodeName(indexPath_).constData(), &status) != 0)
        return {};
    struct timespec now;
    ::clock_gettime(CLOCK_REALTIME, &now);
    const qint64 lastWrite = std::max(nanoseconds(status.st_mtim), nanoseconds(status.st_ctim));
    constexpr qint64 coarsestTick = 2'000'000'000;
    return {qint64(status.st_dev),       qint64(status.st_ino),       qint64(status.st_size),
            nanoseconds(status.st_mtim), nanoseconds(status.st_ctim), lastWrite > nanoseconds(now) - coarsestTick};
}

std::shared_ptr<const IndexDatFile> IndexDatFolder::readIndex() const
{
    const OpenFile index(indexPath_, O_RDONLY);
    if (!index.isOpen())
        return nullptr;
    // Keeps out a deletion by another instance of this program for the moment of reading; read anyway
    // where the file system has no locks.
    index.lock(LOCK_SH);
    std::optional<IndexDatFile> file = IndexDatFile::parse(index.readStart(Format::maxFileSize));
    return file ? std::make_shared<const IndexDatFile>(std::move(*file)) : nullptr;
}

std::optional<QByteArray> IndexDatFolder::localFileOf(const IndexDatFile& file, const IndexDatUrlRecord& record) const
{
    return record.localName.isEmpty() ? std::nullopt : localPathOf(file, record);
}

std::optional<QByteArray> IndexDatFolder::localPathOf(const IndexDatFile& file, const IndexDatUrlRecord& record) const
{
    if (!isSafeFileName(record.localName))
        return std::nullopt;
    const std::optional<QByteArrayView> folder = file.folderName(record.cacheFolder);
    if (!folder)
        return std::nullopt;
    // The bytes as stored: that is how a copy of the disk names the file as well.
    QByteArray path = QFile::encodeName(path_);
    path.append('/');
    if (!folder->isEmpty())
        path.append(*folder).append('/');
    return path.append(record.localName);
}

std::optional<CacheEntry> IndexDatFolder::entryOf(const IndexDatFile& file, const IndexDatUrlRecord& record) const
{
    constexpr quint32 notContent =
        Format::sparseEntry | Format::cookieEntry | Format::visitedLinkEntry | Format::pendingDeleteEntry;
    if (record.entryType & notContent)
        return std::nullopt;
    const std::optional<QByteArray> localPath = localPathOf(file, record);
    if (!localPath)
        return std::nullopt;
    // A name the file system API cannot give back unchanged could not be opened by its path later.
    const QString localFile = QFile::decodeName(*localPath);
    if (QFile::encodeName(localFile) != *localPath)
        return std::nullopt;
    // A file of another size is being written, or was replaced since the record was.
    struct stat status;
    if (::lstat(localPath->constData(), &status) != 0 || !S_ISREG(status.st_mode) || status.st_size != record.size)
        return std::nullopt;

    QString contentType;
    if (!record.head.isEmpty()) {
        // Entries that applications commit themselves may carry header lines without a status line.
        std::optional<HttpResponseHead> head = HttpResponseHead::parse(record.head.toByteArray());
        if (!head)
            head = HttpResponseHead::parse(QByteArrayLiteral("HTTP/1.1 200 OK\r\n").append(record.head));
        if (head && (head->statusCode() < 200 || head->statusCode() > 299))
            return std::nullopt;
        if (head)
            contentType = head->contentType();
    }

    CacheEntry entry;
    entry.url = textOf(record.url);
    entry.localName = localFile.sliced(localFile.lastIndexOf(u'/') + 1);
    entry.entryKey = QString::number(record.offset);
    entry.size = record.size;
    entry.lastAccess = fromFileTime(record.lastAccess);
    if (!entry.lastAccess.isValid())
        entry.lastAccess = QDateTime::fromMSecsSinceEpoch(nanoseconds(status.st_mtim) / 1'000'000, Qt::UTC);
    entry.contentType = contentType;
    entry.sourceFolder = path_;
    // The platform stores bodies decoded (Wine asks for gzip and keeps the decoded bytes).
    entry.body = StoredBody{localFile, 0, record.size, QString(), std::nullopt, {}, StoredBody::FileStamp::of(status)};
    return entry;
}

std::optional<CacheEntry> IndexDatFolder::referenceOf(const IndexDatUrlRecord& record) const
{
    if (record.entryType & (Format::cookieEntry | Format::visitedLinkEntry))
        return std::nullopt;
    CacheEntry entry;
    entry.url = textOf(record.url);
    entry.sourceFolder = path_;
    entry.entryKey = QString::number(record.offset);
    return entry;
}

UrlCache::RemoveOutcome IndexDatFolder::removeEntry(const CacheEntry& entry) const
{
    bool isNumber = false;
    const qint64 recordOffset = entry.entryKey.toLongLong(&isNumber);
    if (entry.sourceFolder != path_ || !isNumber)
        return UrlCache::RemoveOutcome::Gone;
    const OpenFile index(indexPath_, O_RDWR);
    if (!index.isOpen() || !index.lock(LOCK_EX))
        return UrlCache::RemoveOutcome::Failed;
    std::optional<IndexDatFile> file = IndexDatFile::parse(index.readStart(Format::maxFileSize));
    if (!file || !file->isEditable())
        return UrlCache::RemoveOutcome::Failed;
    for (const QByteArray& form : storedFormsOf(entry.url)) {
        for (const qint64 slot : file->slotsHolding(form)) {
            const std::optional<IndexDatUrlRecord> record = file->urlRecordAt(slot);
            if (!record || record->offset != recordOffset)
                continue;
            // Another file under the name is another download of the URL, which this entry was not.
            const std::optional<QByteArray> localPath = localFileOf(*file, *record);
            struct stat status;
            if (entry.body.stamp && (!localPath || ::lstat(localPath->constData(), &status) != 0 ||
                                     StoredBody::FileStamp::of(status) != *entry.body.stamp))
                return UrlCache::RemoveOutcome::Gone;
            bool changed = false;
            const RemoveStep step = removeRecord(index, *file, *record, localPath, changed);
            if (changed)
                index.sync();
            return step == RemoveStep::Removed ? UrlCache::RemoveOutcome::Removed : UrlCache::RemoveOutcome::Failed;
        }
    }
    return UrlCache::RemoveOutcome::Gone;
}

QString IndexDatFolder::textOf(QByteArrayView bytes)
{
    return bytes.isValidUtf8() ? QString::fromUtf8(bytes) : QString::fromLatin1(bytes);
}

QByteArrayList IndexDatFolder::storedFormsOf(const QString& text)
{
    QByteArrayList forms;
    const QByteArray utf8 = text.toUtf8();
    if (textOf(utf8) == text)
        forms.append(utf8);
    const bool fitsLatin1 = std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() <= 0xFF; });
    if (fitsLatin1 && utf8.size() != text.size()) {
        const QByteArray latin1 = text.toLatin1();
        if (textOf(latin1) == text)
            forms.append(latin1);
    }
    return forms;
}
