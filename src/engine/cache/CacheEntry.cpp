#include "engine/cache/CacheEntry.h"

#include "engine/cache/ContentDecoder.h"
#include "engine/cache/FileDescriptor.h"

#include <QFile>
#include <QSet>
#include <cerrno>
#include <condition_variable>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <zlib.h>

namespace
{

std::optional<QByteArray> readStoredBody(const StoredBody& body)
{
    const QList<StoredBody::Piece> pieces = body.allPieces();
    qint64 total = 0;
    for (const StoredBody::Piece& piece : pieces) {
        if (piece.offset < 0 || piece.length < 0 || piece.length > body.length - total)
            return std::nullopt;
        total += piece.length;
    }
    if (total != body.length)
        return std::nullopt;

    QByteArray stored(body.length, Qt::Uninitialized);
    qint64 done = 0;
    for (const StoredBody::Piece& piece : pieces) {
        const FileDescriptor file(::open(QFile::encodeName(piece.file).constData(), O_RDONLY | O_CLOEXEC));
        struct stat status;
        if (!file.isOpen() || ::fstat(file.get(), &status) != 0)
            return std::nullopt;
        // The cache may have changed since the entry was read; never trust the range blindly.
        if (piece.offset > status.st_size || piece.length > status.st_size - piece.offset ||
            FileDescriptor::readAt(file.get(), stored.data() + done, piece.length, piece.offset) != piece.length)
            return std::nullopt;
        done += piece.length;
    }
    if (body.storedCrc32 &&
        crc32_z(0, reinterpret_cast<const Bytef*>(stored.constData()), z_size_t(stored.size())) != *body.storedCrc32)
        return std::nullopt;
    return stored;
}

// Writes `content` as a new file at `path`; removes what it wrote when it cannot write it all.
bool writeNewFile(const QByteArray& path, const QByteArray& content)
{
    FileDescriptor file(::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (!file.isOpen())
        return false;
    if (file.writeAll(content) && file.close())
        return true;
    ::unlink(path.constData());
    return false;
}

// The local files being written in this process. The extraction folder is private to the process, so
// the only reader who could see a half-written body is another thread of it: such a thread waits here
// until the writer is done, and the file is written in place, without a temporary name to rename.
class ExtractionsInProgress
{
public:
    // Runs `write` for `path` unless the file is there already (or appears while waiting for another
    // thread writing it); true when the file is there afterwards.
    template <typename Write>
    bool ensure(const QByteArray& path, const Write& write)
    {
        std::unique_lock lock(mutex_);
        // A file being written exists already: only once no thread writes it does existing mean whole.
        finished_.wait(lock, [&] { return !paths_.contains(path); });
        if (::access(path.constData(), F_OK) == 0)
            return true;
        paths_.insert(path);
        lock.unlock();
        const bool written = write();
        lock.lock();
        paths_.remove(path);
        finished_.notify_all();
        return written;
    }

private:
    std::mutex mutex_;
    std::condition_variable finished_;
    QSet<QByteArray> paths_;
};

ExtractionsInProgress& extractionsInProgress()
{
    static ExtractionsInProgress extractions;
    return extractions;
}

} // namespace

bool CacheEntry::materialize() const
{
    if (localFile.isEmpty())
        return false;
    const QByteArray path = QFile::encodeName(localFile);
    return extractionsInProgress().ensure(path, [&] {
        const std::optional<QByteArray> stored = readStoredBody(body);
        if (!stored)
            return false;
        // A body that does not decode is kept as the server sent it rather than lost.
        return writeNewFile(path, ContentDecoder::decode(*stored, body.contentEncoding).value_or(*stored));
    });
}
