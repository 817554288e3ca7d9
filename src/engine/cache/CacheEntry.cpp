#include "engine/cache/CacheEntry.h"

#include "engine/cache/ContentDecoder.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace {

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
    return stored;
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

    // Written under a temporary name and renamed, so a reader never sees half a body.
    QSaveFile out(localFile);
    if (!out.open(QIODevice::WriteOnly))
        return false;
    if (out.write(decoded) != decoded.size()) {
        out.cancelWriting();
        return false;
    }
    return out.commit();
}
