#include "engine/cache/HeadTailFileReader.h"

#include <QFileInfo>

namespace
{

// Chosen so that the headers, keys and trailers of typical entries come from two reads while bodies
// beyond a few KiB stay unread.
constexpr qint64 wholeFileLimit = 16 * 1024;
constexpr qint64 endChunkSize = 4 * 1024;

bool spans(const QByteArray& chunk, qint64 chunkOffset, qint64 offset, qint64 length)
{
    return offset >= chunkOffset && offset - chunkOffset <= chunk.size() &&
           length <= chunk.size() - (offset - chunkOffset);
}

} // namespace

HeadTailFileReader::HeadTailFileReader(const QString& path) : file_(path)
{
    if (!file_.open(QIODevice::ReadOnly))
        return;
    size_ = file_.size();
    modified_ = file_.fileTime(QFileDevice::FileModificationTime).toUTC();
    head_ = file_.read(size_ <= wholeFileLimit ? size_ : endChunkSize);
    if (size_ > wholeFileLimit && file_.seek(size_ - endChunkSize))
        tail_ = file_.read(endChunkSize);
}

std::optional<QByteArray> HeadTailFileReader::readIfInMemory(qint64 offset, qint64 length) const
{
    if (offset < 0 || length < 0 || offset > size_ || length > size_ - offset)
        return std::nullopt;
    if (spans(head_, 0, offset, length))
        return head_.mid(offset, length);
    const qint64 tailOffset = size_ - tail_.size();
    if (spans(tail_, tailOffset, offset, length))
        return tail_.mid(offset - tailOffset, length);
    return std::nullopt;
}

std::optional<QByteArray> HeadTailFileReader::read(qint64 offset, qint64 length)
{
    if (std::optional<QByteArray> held = readIfInMemory(offset, length))
        return held;
    if (!file_.isOpen() || offset < 0 || length < 0 || offset > size_ || length > size_ - offset || !file_.seek(offset))
        return std::nullopt;
    QByteArray bytes = file_.read(length);
    if (bytes.size() != length)
        return std::nullopt;
    return bytes;
}

bool HeadTailFileReader::unchangedSinceOpen()
{
    // A fresh stat by name: the open file's own metadata may be cached, and a file renamed over this
    // one counts as a change too.
    const QFileInfo now(file_.fileName());
    return file_.isOpen() && now.exists() && now.size() == size_ && now.lastModified() == modified_;
}
