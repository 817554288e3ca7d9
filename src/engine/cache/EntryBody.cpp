#include "engine/cache/EntryBody.h"

#include "engine/cache/ByteSink.h"
#include "engine/cache/ContentDecoder.h"
#include "engine/cache/FileDescriptor.h"
#include "engine/cache/FolderHandle.h"
#include "engine/cache/KeyDigest.h"

#include <QCryptographicHash>
#include <QFile>
#include <algorithm>
#include <cerrno>
#include <limits>
#include <memory>
#include <sys/stat.h>
#include <zlib.h>

namespace
{

using Refusal = EntryBody::Refusal;

// Large enough that a big body costs few calls, small enough to stay out of the way of the threads
// reading bodies side by side.
constexpr qint64 kReadChunk = 128 * 1024;

Refusal refusalForFailedOpen(const struct stat& status, int error)
{
    if (status.st_mode != 0)
        return Refusal::NotRegular;
    return error == ENOENT || error == ENOTDIR ? Refusal::Vanished : Refusal::Unreadable;
}

// What to open or take the status of for `path`, one of `body`'s files: its name in the folder the walk
// kept open, else the whole path.
struct FileName
{
    FileName(const StoredBody& body, const QString& path)
    {
        if (body.folder && body.folder->fd() != AT_FDCWD) {
            folderFd = body.folder->fd();
            name = QFile::encodeName(path.sliced(path.lastIndexOf(u'/') + 1));
        } else {
            name = QFile::encodeName(path);
        }
    }

    int folderFd = AT_FDCWD;
    QByteArray name;
};

// The bytes the walk held for `body`, once the file's status shows it is still the one they came from.
Refusal writeHeld(const StoredBody& body, ByteSink& sink)
{
    struct stat status;
    const FileName file(body, body.file);
    if (::fstatat(file.folderFd, file.name.constData(), &status, 0) != 0)
        return errno == ENOENT || errno == ENOTDIR ? Refusal::Vanished : Refusal::Unreadable;
    if (!S_ISREG(status.st_mode))
        return Refusal::NotRegular;
    if (StoredBody::FileStamp::of(status) != *body.stamp)
        return Refusal::Changed;
    return sink.write(body.held) ? Refusal::None : Refusal::SinkFailed;
}

// The stored bytes of `body` into `sink`, piece after piece, each file checked before it is read: a
// regular file, with the stamp taken when the entry was walked, large enough for the range. The CRC,
// where the cache keeps one, is computed on the way and compared at the end, so a Damaged result comes
// after the sink has had every byte.
Refusal readStored(const StoredBody& body, ByteSink& sink)
{
    if (body.pieces.isEmpty() && body.held.size() == body.length && !body.held.isNull()) {
        if (body.storedSha1 && KeyDigest::sha1(body.sha1Salt, body.held) != *body.storedSha1)
            return Refusal::Damaged;
        if (body.stamp)
            return writeHeld(body, sink);
        // From a file shared by many entries, which has no stamp of its own: its cache checks the entry's
        // record instead (UrlCache::isCurrent), and the bytes are those the record named when read.
        return sink.write(body.held) ? Refusal::None : Refusal::SinkFailed;
    }
    const QList<StoredBody::Piece> pieces = body.allPieces();
    qint64 total = 0;
    for (const StoredBody::Piece& piece : pieces) {
        if (piece.offset < 0 || piece.length < 0 || piece.length > body.length - total)
            return Refusal::Changed;
        total += piece.length;
    }
    if (total != body.length)
        return Refusal::Changed;

    const qint64 bufferSize = std::clamp<qint64>(body.length, 1, kReadChunk);
    const std::unique_ptr<char[]> buffer = std::make_unique_for_overwrite<char[]>(size_t(bufferSize));
    uLong crc = crc32_z(0, nullptr, 0);
    QCryptographicHash sha1(QCryptographicHash::Sha1);
    sha1.addData(body.sha1Salt);
    FileDescriptor file;
    const QString* openPath = nullptr;
    qint64 fileSize = 0;
    for (const StoredBody::Piece& piece : pieces) {
        if (!openPath || piece.file != *openPath) {
            struct stat status;
            const FileName name(body, piece.file);
            file = FileDescriptor::openRegular(name.name.constData(), status, name.folderFd);
            if (!file.isOpen())
                return refusalForFailedOpen(status, errno);
            // A file of another inode, size or time holds another entry, or this one rewritten.
            if (body.stamp && piece.file == body.file && StoredBody::FileStamp::of(status) != *body.stamp)
                return Refusal::Changed;
            openPath = &piece.file;
            fileSize = status.st_size;
        }
        // The cache may have changed since the entry was read; never trust the range blindly.
        if (piece.offset > fileSize || piece.length > fileSize - piece.offset)
            return Refusal::Changed;
        for (qint64 done = 0; done < piece.length;) {
            const qint64 wanted = std::min(bufferSize, piece.length - done);
            if (FileDescriptor::readAt(file.get(), buffer.get(), wanted, piece.offset + done) != wanted)
                return Refusal::Unreadable;
            if (body.storedCrc32)
                crc = crc32_z(crc, reinterpret_cast<const Bytef*>(buffer.get()), z_size_t(wanted));
            if (body.storedSha1)
                sha1.addData(QByteArrayView(buffer.get(), wanted));
            if (!sink.write(QByteArrayView(buffer.get(), wanted)))
                return Refusal::SinkFailed;
            done += wanted;
        }
    }
    if (body.storedCrc32 && quint32(crc) != *body.storedCrc32)
        return Refusal::Damaged;
    if (body.storedSha1 &&
        QByteArrayView(sha1.resultView()) != QByteArrayView(reinterpret_cast<const char*>(body.storedSha1->data()), 20))
        return Refusal::Damaged;
    return Refusal::None;
}

// Keeps what it is given in memory, refusing to hold more than its cap.
class MemorySink final : public ByteSink
{
public:
    MemorySink(qint64 maxSize, qint64 expectedSize) : maxSize_(maxSize)
    {
        if (expectedSize > 0 && expectedSize <= maxSize)
            bytes_.reserve(expectedSize);
    }

    bool write(QByteArrayView bytes) override
    {
        if (bytes.size() > maxSize_ - bytes_.size()) {
            full_ = true;
            return false;
        }
        bytes_.append(bytes);
        return true;
    }

    bool isFull() const { return full_; }
    QByteArray take() { return std::move(bytes_); }

private:
    const qint64 maxSize_;
    QByteArray bytes_;
    bool full_ = false;
};

// Counts what it is given and drops it, refusing once the count passes its cap.
class CountingSink final : public ByteSink
{
public:
    explicit CountingSink(qint64 maxSize) : maxSize_(maxSize) {}

    bool write(QByteArrayView bytes) override
    {
        count_ += bytes.size();
        full_ = count_ > maxSize_;
        return !full_;
    }

    bool isFull() const { return full_; }
    qint64 count() const { return count_; }

private:
    const qint64 maxSize_;
    qint64 count_ = 0;
    bool full_ = false;
};

// Passes decoded bytes on once the budget has taken them.
class BudgetSink final : public ByteSink
{
public:
    BudgetSink(DecodingBudget& budget, ByteSink& next) : budget_(budget), next_(next) {}

    bool write(QByteArrayView bytes) override
    {
        if (!budget_.take(bytes.size())) {
            refused_ = true;
            return false;
        }
        return next_.write(bytes);
    }

    bool refused() const { return refused_; }

private:
    DecodingBudget& budget_;
    ByteSink& next_;
    bool refused_ = false;
};

// A refusal by a capped sink of ours is the body being too large, not a failing sink.
Refusal withCap(Refusal refusal, bool capReached)
{
    return refusal == Refusal::SinkFailed && capReached ? Refusal::TooLarge : refusal;
}

// Passes the stored bytes to a tap, whatever it answers, and on to the decoder.
class TappedSink final : public ByteSink
{
public:
    TappedSink(ByteSink& tap, ByteSink& next) : tap_(tap), next_(next) {}

    bool write(QByteArrayView bytes) override
    {
        tap_.write(bytes);
        return next_.write(bytes);
    }

private:
    ByteSink& tap_;
    ByteSink& next_;
};

// `body` decoded into `sink`, stopped past `cap` with `overCap`. A body that does not decode is refused, never
// delivered as stored: those bytes are not the body its coding names. `storedTap` as EntryBody::stream.
Refusal decodeInto(const StoredBody& body, ByteSink& sink, qint64 cap, Refusal overCap, ByteSink* storedTap)
{
    ContentDecoder decoder(body.contentEncoding, sink, cap);
    std::optional<TappedSink> tapped;
    if (storedTap != nullptr)
        tapped.emplace(*storedTap, decoder);
    const Refusal read = readStored(body, tapped ? static_cast<ByteSink&>(*tapped) : decoder);
    // The decoder refusing the stored bytes has its own reason, which finish() gives.
    if (read != Refusal::None && read != Refusal::SinkFailed)
        return read;
    switch (decoder.finish()) {
    case ContentDecoder::Outcome::Decoded:
        return read;
    case ContentDecoder::Outcome::Undecodable:
        return Refusal::Undecodable;
    case ContentDecoder::Outcome::TooLarge:
        return overCap;
    case ContentDecoder::Outcome::SinkFailed:
        break;
    }
    return Refusal::SinkFailed;
}

// The innermost budget scope of this thread.
thread_local EntryBody::BudgetScope* tBudgetScope = nullptr;

} // namespace

DecodingBudget::DecodingBudget(qint64 floor, qint64 ratio)
    : floor_(std::max<qint64>(floor, 0)), ratio_(std::max<qint64>(ratio, 0))
{}

bool DecodingBudget::admit(qint64 storedLength)
{
    if (isSpent())
        return false;
    stored_.fetch_add(std::max<qint64>(storedLength, 0), std::memory_order_relaxed);
    return true;
}

bool DecodingBudget::take(qint64 decoded)
{
    if (isSpent())
        return false;
    const qint64 total = decoded_.fetch_add(decoded, std::memory_order_relaxed) + decoded;
    const qint64 stored = stored_.load(std::memory_order_relaxed);
    const qint64 byRatio = ratio_ > 0 && stored > std::numeric_limits<qint64>::max() / ratio_
                               ? std::numeric_limits<qint64>::max()
                               : stored * ratio_;
    if (total <= std::max(floor_, byRatio))
        return true;
    spent_.store(true, std::memory_order_relaxed);
    return false;
}

EntryBody::BudgetScope::BudgetScope(DecodingBudget* budget) : budget_(budget), outer_(tBudgetScope)
{
    tBudgetScope = this;
}

EntryBody::BudgetScope::~BudgetScope()
{
    tBudgetScope = outer_;
}

qint64 EntryBody::decodedCap(qint64 storedLength, qint64 maxDecodedSize, qint64 maxRatio)
{
    const qint64 stored = std::max<qint64>(storedLength, 0);
    const qint64 ratio = std::max<qint64>(maxRatio, 0);
    const qint64 byRatio = ratio > 0 && stored > std::numeric_limits<qint64>::max() / ratio
                               ? std::numeric_limits<qint64>::max()
                               : stored * ratio;
    return std::min(maxDecodedSize, std::max(kDecodedFloor, byRatio));
}

EntryBody::Refusal EntryBody::stream(const StoredBody& body, ByteSink& sink, qint64 maxDecodedSize, qint64 maxRatio,
                                     ByteSink* storedTap)
{
    const qint64 cap = decodedCap(body.length, maxDecodedSize, maxRatio);
    const Refusal overCap = cap < maxDecodedSize ? Refusal::Amplified : Refusal::TooLarge;
    BudgetScope* const scope = tBudgetScope;
    if (scope == nullptr || scope->budget_ == nullptr || !ContentDecoder::isCoded(body.contentEncoding))
        return decodeInto(body, sink, cap, overCap, storedTap);
    if (!scope->budget_->admit(body.length)) {
        scope->refusedAny_ = true;
        return Refusal::BudgetSpent;
    }
    BudgetSink charged(*scope->budget_, sink);
    const Refusal streamed = decodeInto(body, charged, cap, overCap, storedTap);
    if (streamed == Refusal::SinkFailed && charged.refused()) {
        scope->refusedAny_ = true;
        return Refusal::BudgetSpent;
    }
    return streamed;
}

EntryBody::Refusal EntryBody::streamStored(const StoredBody& body, ByteSink& sink)
{
    return readStored(body, sink);
}

std::variant<QByteArray, EntryBody::Refusal> EntryBody::read(const StoredBody& body, qint64 maxSize)
{
    const qint64 expected = ContentDecoder::isCoded(body.contentEncoding) ? 0 : body.length;
    MemorySink sink(maxSize, expected);
    const Refusal streamed = stream(body, sink, maxSize);
    if (streamed == Refusal::None)
        return sink.take();
    return withCap(streamed, sink.isFull());
}

std::variant<qint64, EntryBody::Refusal> EntryBody::decodedSize(const StoredBody& body, qint64 maxSize)
{
    CountingSink counter(maxSize);
    const Refusal streamed = decodeInto(body, counter, maxSize, Refusal::TooLarge, nullptr);
    if (streamed == Refusal::None)
        return counter.count();
    return withCap(streamed, counter.isFull());
}

const char* EntryBody::nameOf(Refusal refusal)
{
    switch (refusal) {
    case Refusal::None:
        return "delivered";
    case Refusal::Vanished:
        return "vanished";
    case Refusal::Changed:
        return "changed";
    case Refusal::NotRegular:
        return "not a regular file";
    case Refusal::Unreadable:
        return "unreadable";
    case Refusal::Damaged:
        return "damaged";
    case Refusal::Undecodable:
        return "undecodable";
    case Refusal::TooLarge:
        return "too large";
    case Refusal::SinkFailed:
        return "not written";
    case Refusal::Amplified:
        return "amplified";
    case Refusal::BudgetSpent:
        return "budget spent";
    }
    return "unknown";
}
