#include "engine/cache/CacheEntry.h"

#include "engine/cache/ContentDecoder.h"

#include <QFile>
#include <QFileInfo>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

namespace
{

std::optional<QByteArray> readStoredBody(const StoredBody& body)
{
    QFile file(body.file);
    if (body.offset < 0 || body.length < 0 || !file.open(QIODevice::ReadOnly))
        return std::nullopt;
    // The cache may have changed since the entry was read; never trust the range blindly.
    if (body.offset > file.size() || body.length > file.size() - body.offset || !file.seek(body.offset))
        return std::nullopt;
    QByteArray stored = file.read(body.length);
    if (stored.size() != body.length)
        return std::nullopt;
    if (body.storedCrc32 &&
        crc32_z(0, reinterpret_cast<const Bytef*>(stored.constData()), z_size_t(stored.size())) != *body.storedCrc32)
        return std::nullopt;
    return stored;
}

// Writes `content` under a name of its own and renames it into place, so a reader never sees half a
// body. The folder is scratch space removed at exit, so nothing is forced to the disk.
bool writeWhole(const QString& path, const QByteArray& content)
{
    static std::atomic<quint64> writes{0};
    const QByteArray target = QFile::encodeName(path);
    const QByteArray partial = target + ".part" + QByteArray::number(++writes);
    const int fd = ::open(partial.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    qsizetype written = 0;
    while (written < content.size()) {
        const ssize_t n = ::write(fd, content.constData() + written, static_cast<size_t>(content.size() - written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        written += n;
    }
    const bool closed = ::close(fd) == 0;
    // Another thread may have written the same body meanwhile; renaming over it is harmless.
    if (written != content.size() || !closed || std::rename(partial.constData(), target.constData()) != 0) {
        ::unlink(partial.constData());
        return false;
    }
    return true;
}

} // namespace

bool CacheEntry::materialize() const
{
    if (localFile.isEmpty())
        return false;
    if (QFileInfo::exists(localFile))
        return true;
    const std::optional<QByteArray> stored = readStoredBody(body);
    if (!stored)
        return false;
    // A body that does not decode is kept as the server sent it rather than lost.
    const QByteArray decoded = ContentDecoder::decode(*stored, body.contentEncoding).value_or(*stored);

    return writeWhole(localFile, decoded);
}
