#include "engine/cache/HeadTailFileReader.h"

#include "engine/cache/FileDescriptor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

qint64 modifiedNsOf(const struct stat& status)
{
    return qint64(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec;
}

} // namespace

// Plain POSIX calls: QFile and QFileInfo cost more per file than the few KiB read from it.
HeadTailFileReader::HeadTailFileReader(const QString& path, int folderFd)
{
    struct stat status;
    fd_ = FileDescriptor::openRegular(path, status, folderFd).release();
    if (fd_ < 0)
        return;
    size_ = status.st_size;
    modifiedNs_ = modifiedNsOf(status);
    stamp_ = StoredBody::FileStamp::of(status);
    head_ = readFromFile(0, size_ <= wholeFileLimit ? size_ : endChunkSize);
    if (size_ > wholeFileLimit)
        tail_ = readFromFile(size_ - endChunkSize, endChunkSize);
    else
        readWhole_ = head_.size() == size_;
}

HeadTailFileReader::HeadTailFileReader(const struct stat& status, QByteArray wholeFile)
    : size_(status.st_size), modifiedNs_(modifiedNsOf(status)), stamp_(StoredBody::FileStamp::of(status)),
      head_(std::move(wholeFile)), readWhole_(head_.size() == size_), readBefore_(true)
{}

HeadTailFileReader::~HeadTailFileReader()
{
    if (fd_ >= 0)
        ::close(fd_);
}

QDateTime HeadTailFileReader::modified() const
{
    // Millisecond precision, as QFileInfo reports it.
    return QDateTime::fromMSecsSinceEpoch(modifiedNs_ / 1000000, Qt::UTC);
}

QByteArray HeadTailFileReader::readFromFile(qint64 offset, qint64 length) const
{
    QByteArray bytes(length, Qt::Uninitialized);
    bytes.truncate(FileDescriptor::readAt(fd_, bytes.data(), length, offset));
    return bytes;
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

std::optional<QByteArrayView> HeadTailFileReader::viewIfInMemory(qint64 offset, qint64 length) const
{
    if (offset < 0 || length < 0 || offset > size_ || length > size_ - offset)
        return std::nullopt;
    if (spans(head_, 0, offset, length))
        return QByteArrayView(head_).sliced(offset, length);
    const qint64 tailOffset = size_ - tail_.size();
    if (spans(tail_, tailOffset, offset, length))
        return QByteArrayView(tail_).sliced(offset - tailOffset, length);
    return std::nullopt;
}

std::optional<QByteArrayView> HeadTailFileReader::view(qint64 offset, qint64 length)
{
    if (const std::optional<QByteArrayView> held = viewIfInMemory(offset, length))
        return held;
    std::optional<QByteArray> bytes = read(offset, length);
    if (!bytes)
        return std::nullopt;
    // Moving a QByteArray into the list keeps its data where it is, so the view stays valid.
    extra_.append(std::move(*bytes));
    return QByteArrayView(extra_.constLast());
}

QList<QByteArray> HeadTailFileReader::takeBuffers()
{
    QList<QByteArray> buffers = std::move(extra_);
    buffers.append(std::move(head_));
    buffers.append(std::move(tail_));
    extra_.clear();
    head_.clear();
    tail_.clear();
    return buffers;
}

std::optional<QByteArray> HeadTailFileReader::read(qint64 offset, qint64 length)
{
    if (std::optional<QByteArray> held = readIfInMemory(offset, length))
        return held;
    if (fd_ < 0 || offset < 0 || length < 0 || offset > size_ || length > size_ - offset)
        return std::nullopt;
    QByteArray bytes = readFromFile(offset, length);
    if (bytes.size() != length)
        return std::nullopt;
    return bytes;
}

bool HeadTailFileReader::unchangedSinceOpen()
{
    // A file read whole at once cannot mix its state before and after a change that came between two
    // reads; a write racing that one read is left to the parser's own checks (magic numbers, CRCs,
    // digests). Sparing the second status call keeps the walk about as cheap per file as reading it.
    if ((fd_ >= 0 || readBefore_) && readWhole_)
        return true;
    // The open file's own status: a writer changes size or mtime of this inode, while a file renamed
    // over this one leaves what was read here whole (it is still the old file, consistently).
    struct stat status;
    return fd_ >= 0 && ::fstat(fd_, &status) == 0 && status.st_size == size_ && modifiedNsOf(status) == modifiedNs_;
}
