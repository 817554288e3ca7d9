#include "engine/cache/CacheEntry.h"

#include "engine/cache/ContentDecoder.h"

#include <QFile>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <zlib.h>

namespace
{

// Closes a descriptor when it goes out of scope.
class FileDescriptor
{
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return fd_; }
    bool isOpen() const { return fd_ >= 0; }
    // Closes now, reporting whether everything written reached the file system.
    bool close()
    {
        const int fd = std::exchange(fd_, -1);
        return fd >= 0 && ::close(fd) == 0;
    }

private:
    int fd_;
};

bool writeAll(int fd, const QByteArray& content)
{
    qsizetype written = 0;
    while (written < content.size()) {
        const ssize_t n = ::write(fd, content.constData() + written, size_t(content.size() - written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        written += n;
    }
    return true;
}

std::optional<QByteArray> readStoredBody(const StoredBody& body)
{
    if (body.offset < 0 || body.length < 0)
        return std::nullopt;
    const FileDescriptor file(::open(QFile::encodeName(body.file).constData(), O_RDONLY | O_CLOEXEC));
    struct stat status;
    if (!file.isOpen() || ::fstat(file.get(), &status) != 0)
        return std::nullopt;
    // The cache may have changed since the entry was read; never trust the range blindly.
    if (body.offset > status.st_size || body.length > status.st_size - body.offset)
        return std::nullopt;
    QByteArray stored(body.length, Qt::Uninitialized);
    qint64 done = 0;
    while (done < body.length) {
        const ssize_t got =
            ::pread(file.get(), stored.data() + done, size_t(body.length - done), off_t(body.offset + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return std::nullopt;
        done += got;
    }
    if (body.storedCrc32 &&
        crc32_z(0, reinterpret_cast<const Bytef*>(stored.constData()), z_size_t(stored.size())) != *body.storedCrc32)
        return std::nullopt;
    return stored;
}

// Writes under a name of its own and renames into place: for file systems without unnamed files.
bool writeByRenaming(const QByteArray& target, const QByteArray& content)
{
    static std::atomic<quint64> writes{0};
    const QByteArray partial = target + ".part" + QByteArray::number(++writes);
    FileDescriptor file(::open(partial.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (!file.isOpen())
        return false;
    const bool written = writeAll(file.get(), content);
    // Another thread may have written the same body meanwhile; renaming over it is harmless.
    if (!file.close() || !written || std::rename(partial.constData(), target.constData()) != 0) {
        ::unlink(partial.constData());
        return false;
    }
    return true;
}

// Writes `content` to `path` so that a reader never sees half a body: into an unnamed file that gets its
// name only once whole. The folder is scratch space removed at exit, so nothing is forced to the disk.
bool writeWhole(const QString& path, const QByteArray& content)
{
    const QByteArray target = QFile::encodeName(path);
    const qsizetype slash = target.lastIndexOf('/');
    const QByteArray folder = slash > 0 ? target.first(slash) : QByteArrayLiteral(".");
    FileDescriptor file(::open(folder.constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644));
    if (!file.isOpen())
        return writeByRenaming(target, content);
    if (!writeAll(file.get(), content))
        return false;
    const QByteArray self = "/proc/self/fd/" + QByteArray::number(file.get());
    if (::linkat(AT_FDCWD, self.constData(), AT_FDCWD, target.constData(), AT_SYMLINK_FOLLOW) == 0)
        return file.close();
    // Another thread got there first with the same body.
    if (errno == EEXIST)
        return true;
    // Without /proc the unnamed file cannot be given a name.
    return writeByRenaming(target, content);
}

} // namespace

bool CacheEntry::materialize() const
{
    if (localFile.isEmpty())
        return false;
    if (::access(QFile::encodeName(localFile).constData(), F_OK) == 0)
        return true;
    const std::optional<QByteArray> stored = readStoredBody(body);
    if (!stored)
        return false;
    // A body that does not decode is kept as the server sent it rather than lost.
    const QByteArray decoded = ContentDecoder::decode(*stored, body.contentEncoding).value_or(*stored);

    return writeWhole(localFile, decoded);
}
