#pragma once

#include "engine/cache/StoredBody.h"

#include <QByteArray>
#include <atomic>
#include <variant>

class ByteSink;

// What the decoding of many bodies together may write, for a caller that decodes them over many calls and
// threads (a harvest run): at most max(floor, ratio × the stored bytes of the coded bodies admitted). The ratio
// part keeps pace with a harvest however large; the floor is what bodies may make between them past that
// ratio. Once spent it stays spent. Thread-safe.
class DecodingBudget
{
public:
    DecodingBudget(qint64 floor, qint64 ratio);

    // Counts a coded body's stored bytes before it is decoded; false once the budget is spent.
    bool admit(qint64 storedLength);
    // Takes `decoded` bytes about to be written; false, for good, when they would pass the budget.
    bool take(qint64 decoded);
    bool isSpent() const { return spent_.load(std::memory_order_relaxed); }

private:
    const qint64 floor_;
    const qint64 ratio_;
    std::atomic<qint64> stored_{0};
    std::atomic<qint64> decoded_{0};
    std::atomic<bool> spent_{false};
};

// Reads an entry's body out of the cache's own files, as it is when read: straight from the stored
// pieces, decoded on the way (gzip, deflate, br, zstd), with a fixed buffer. Nothing is written
// anywhere; the caller's sink decides where the bytes go.
//
// Every file is opened without blocking and read only when it is a regular file. A body whose file
// changed since the walk (its stamp differs: another inode, size or modification time), whose stored
// bytes no longer match the recorded CRC, or whose file is gone, is refused with the reason.
//
// What decoding delivers is capped per body: at most kMaxDecodedSize (or the caller's lower cap), and past
// kDecodedFloor at most kMaxDecodedRatio times the stored size. A body stored without coding, or with one
// that is not known (delivered as stored), is not decoded and is as large as it is stored. Bodies delivered
// while a BudgetScope lives on the thread also draw on its budget.
// Thread-safe: no state is shared between calls but the budgets callers share.
class EntryBody
{
public:
    // Why a body was not (wholly) delivered. Ordered for counting; add at the end only.
    enum class Refusal
    {
        None,        // delivered whole
        Vanished,    // a file of the body is gone
        Changed,     // the cache rewrote the entry since it was walked (stamp or range no longer fits)
        NotRegular,  // a file of the body is a FIFO, device, folder ...: never read
        Unreadable,  // open or read failed (permissions, I/O error)
        Damaged,     // the stored bytes fail their CRC or SHA-1
        Undecodable, // the data does not decode under its known Content-Encoding (see ContentDecoder)
        TooLarge,    // decoding would pass the cap on size
        SinkFailed,  // the sink refused the bytes (write error, full disk)
        Amplified,   // decoding would pass the cap on ratio: far more than the stored size could really hold
        BudgetSpent, // the budget the thread draws on (its run's) is spent
    };
    static constexpr int kRefusalKinds = int(Refusal::BudgetSpent) + 1;

    // The cap on a decoded body: no page or picture a harvest wants comes near it, and a few KB of
    // brotli can claim far more.
    static constexpr qint64 kMaxDecodedSize = qint64(1) << 30;
    // Past the floor, a decoded body may be at most this many times its stored size: real text compresses 5
    // to 20 times and the most repetitive real markup about 100, while deflate reaches 1032 and brotli or
    // zstd far more, only on made-up input.
    static constexpr qint64 kMaxDecodedRatio = 256;
    // What a coded body may decode to whatever its ratio: more than nearly every real page, script or sheet
    // makes, so a small real body of extreme ratio (a blank drawing, a page of spaces) is kept, while a bomb
    // makes no more than this.
    static constexpr qint64 kDecodedFloor = qint64(16) << 20;

    // What decoding a body stored in `storedLength` bytes may deliver: max(kDecodedFloor, `maxRatio` ×
    // `storedLength`), and no more than `maxDecodedSize`.
    static qint64 decodedCap(qint64 storedLength, qint64 maxDecodedSize = kMaxDecodedSize,
                             qint64 maxRatio = kMaxDecodedRatio);

    // The decoded body into `sink`, in chunks of at most ContentDecoder::kOutputChunk, capped by
    // decodedCap(). A body that does not decode is Undecodable, and one past a cap is TooLarge or Amplified
    // (whichever cap was lower); the sink may have had part of it by then, for the caller to discard. On
    // Damaged the sink has had every byte, since the CRC is known only at the end: the caller discards what
    // it got.
    // `storedTap` (may be null) is given the stored bytes as they are read, before decoding, for a caller that
    // wants them too (a record of the exchange); what it answers does not stop the reading.
    static Refusal stream(const StoredBody& body, ByteSink& sink, qint64 maxDecodedSize = kMaxDecodedSize,
                          qint64 maxRatio = kMaxDecodedRatio, ByteSink* storedTap = nullptr);

    // The stored bytes themselves into `sink`, content coding kept, checked as stream() checks them (stamp,
    // ranges, CRC): for a record of the exchange as the server sent it. No cap: the caller knows the stored
    // length beforehand (StoredBody::length).
    static Refusal streamStored(const StoredBody& body, ByteSink& sink);

    // The body in memory as stream() gives it, at most `maxSize` bytes (TooLarge beyond).
    static std::variant<QByteArray, Refusal> read(const StoredBody& body, qint64 maxSize);

    // The size the body decodes to, found by decoding into a fixed scratch buffer that is thrown away; no
    // allocation grows with the body. TooLarge beyond `maxSize`. Nothing is written, so only that cap
    // applies: a body stream() refuses as Amplified still has its size, and no budget is drawn on.
    static std::variant<qint64, Refusal> decodedSize(const StoredBody& body, qint64 maxSize = kMaxDecodedSize);

    // The refusal's name for logs: "vanished", "changed", ...
    static const char* nameOf(Refusal refusal);

    // While one lives, the coded bodies this thread streams or reads also draw on `budget` (none when null),
    // whichever code reads them: an archive's parts as well as its page. Scopes nest; the innermost counts.
    class BudgetScope
    {
    public:
        explicit BudgetScope(DecodingBudget* budget);
        ~BudgetScope();
        BudgetScope(const BudgetScope&) = delete;
        BudgetScope& operator=(const BudgetScope&) = delete;

        // Whether a body was refused (or cut short) in this scope because the budget was spent.
        bool refusedAny() const { return refusedAny_; }

    private:
        friend class EntryBody;
        DecodingBudget* const budget_;
        BudgetScope* const outer_;
        bool refusedAny_ = false;
    };
};
