#pragma once

#include "engine/cache/CacheEntry.h"
#include "engine/cache/EntryBody.h"
#include "engine/warc/DigestingSink.h"
#include "engine/warc/GzipMemberWriter.h"
#include "engine/warc/HttpResponseBlock.h"

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>
#include <atomic>
#include <memory>
#include <optional>
#include <vector>

class QFileDevice;
class QIODevice;

// Writes a harvest as a web archive (WARC 1.1, each record a gzip member of its own) into a file: a
// warcinfo record, then for each cache entry a `response` record whose block is the response's status
// line and stored header fields (HttpResponseBlock) and the body exactly as the cache stores it, content
// coding kept; a body already recorded under another entry becomes a `revisit` record (identical payload
// digest profile) that points at the first.
//
// The digests go in the record's header, before its block, and the body is never held: prepare() reads it
// from the cache once, taking its digests and compressing it into the body's part of the record's gzip member
// (GzipMemberWriter::Framing::Part), which waits in a spool (memory for a small record, else a hidden file
// beside the archive); the header, once the digests are known, is compressed into the member's first part.
// The digests are thus always those of the bytes recorded, even of an entry the browser rewrites meanwhile.
// prepare() runs on any thread, so the reading and compressing of many records goes on side by side;
// record() then only appends a member, or writes a short revisit instead. An entry that cannot make a whole
// record is refused with the reason, and the file stays as it was before it.
//
// prepare() is thread-safe once writeInfo() has returned; the rest is for one thread (the copy worker's
// commit step), which writes in the order the records are to have.
class WarcWriter
{
public:
    // Why an entry has no record. Ordered for counting; add at the end only.
    enum class Refusal
    {
        None,           // recorded (or recorded before: the same entry again)
        NoResponseHead, // the cache keeps no status line and headers for it (index.dat)
        Partial,        // a 206, or a body shorter or longer than its Content-Length
        TooLarge,       // a body over kMaxPayloadSize
        BodyRefused,    // its body could not be read (see the EntryBody refusal)
        Changed,        // its body is not as long as the cache says: it changed as it was read
        WriteFailed,    // the file refused bytes: this record and every later one are lost (or its spool did)
    };
    static constexpr int kRefusalKinds = int(Refusal::WriteFailed) + 1;

    // The largest body recorded: as large as a decoded body may be (EntryBody::kMaxDecodedSize).
    static constexpr qint64 kMaxPayloadSize = EntryBody::kMaxDecodedSize;
    // A record whose body is at most this large waits for its turn in memory, a larger one in a file: the
    // jobs in preparation are a handful, so this bounds what they hold.
    static constexpr qint64 kMaxSpooledInMemory = qint64(1) << 20;

    static constexpr char kRevisitProfile[] = "http://netpreserve.org/warc/1.1/revisit/identical-payload-digest";

    struct Outcome
    {
        Refusal refusal = Refusal::None;
        EntryBody::Refusal bodyRefusal = EntryBody::Refusal::None; // for BodyRefused
        bool revisit = false;                                      // recorded as a revisit
        bool recordedBefore = false; // the same entry had its record already: nothing written
    };

    // What the archive's index needs of each record.
    struct Capture
    {
        QString url;
        QDateTime date;
        qint64 offset = 0; // of its gzip member in the file
        qint64 length = 0; // of that member
        QByteArray payloadDigest;
        QByteArray mime; // the response's media type, lower case, no parameters; "warc/revisit" for a revisit
        int status = 0;
        bool revisit = false;
    };

    // A record made ready by prepare(), or why an entry has none.
    struct Prepared
    {
        Refusal refusal = Refusal::None;
        EntryBody::Refusal bodyRefusal = EntryBody::Refusal::None;
        QByteArray head; // HttpResponseBlock::bytes()
        int status = 0;
        QDateTime date;
        QByteArray recordId;
        QByteArray payloadDigest;
        // The gzip member of the entry's response record: its header and first part (the record's header),
        // then the part in `member` (the body), read from its start, then the trailer.
        QByteArray memberHead;
        std::shared_ptr<QIODevice> member;
        QByteArray memberTail;
    };
    // `abort` (may be null), once set, ends the reading: the record is then refused.
    Prepared prepare(const CacheEntry& entry, const std::atomic<bool>* abort = nullptr) const;

    // The same, fed by whoever reads the stored body anyway: a copy that decodes it gives its stored bytes to
    // the preparation as well (EntryBody::stream's tap), so that the body is read once for both. Every byte
    // of the stored body, in order, then finish() with how the reading ended. One at a time on a thread: the
    // thread's compressor serves it.
    class Preparation final : public ByteSink
    {
    public:
        Preparation(const WarcWriter& writer, const CacheEntry& entry, const std::atomic<bool>* abort = nullptr);
        ~Preparation() override;
        Preparation(const Preparation&) = delete;
        Preparation& operator=(const Preparation&) = delete;

        // Whether the record wants the body: false for an entry refused before it (finish() says why).
        bool wantsBody() const { return prepared_.refusal == Refusal::None; }
        // Refuses the bytes only once `abort` is set; a spool that failed is remembered for finish().
        bool write(QByteArrayView bytes) override;
        // `read` is how the reading of the body ended.
        Prepared finish(EntryBody::Refusal read);

    private:
        Prepared refuse(Refusal why, EntryBody::Refusal read = EntryBody::Refusal::None);

        const WarcWriter& writer_;
        const CacheEntry& entry_;
        const std::atomic<bool>* const abort_;
        Prepared prepared_;
        std::optional<HttpResponseBlock> head_;
        std::unique_ptr<DigestingSink> block_;
        std::unique_ptr<DigestingSink> payload_;
        std::unique_ptr<ByteSink> blockAndMember_;
        bool spoolFailed_ = false;
        bool finished_ = false;
    };

    // `out` is open for writing, empty, and outlives the writer; spools go into its folder.
    explicit WarcWriter(QFileDevice& out);
    virtual ~WarcWriter();
    WarcWriter(const WarcWriter&) = delete;
    WarcWriter& operator=(const WarcWriter&) = delete;

    // The warcinfo record; call first. `software` names the program and its version, `caches` the folders read.
    bool writeInfo(const QByteArray& software, const QStringList& caches);
    Outcome record(const CacheEntry& entry);
    // The same with the record prepare() made of `entry` as it was then.
    Outcome record(const CacheEntry& entry, const Prepared& prepared);

    // After a write failure, nothing more is written; the file is to be discarded.
    bool failed() const { return failed_; }
    const std::vector<Capture>& captures() const { return captures_; }

    // The form of WARC-Date: UTC, to the second.
    static QByteArray dateText(const QDateTime& time);
    // When the response was made: the cache's response time, else its Date field, else the last use.
    static QDateTime dateOf(const CacheEntry& entry, const QDateTime& headDate);

protected:
    // Where a record of `size` bytes before compression waits: open for reading and writing, empty; null when
    // it cannot be made. Called on preparing threads.
    virtual std::shared_ptr<QIODevice> openSpool(qint64 size) const;

private:
    struct First
    {
        QString url;
        QByteArray date;
        QByteArray recordId;
    };

    // The header fields a record of `entry`'s exchange begins with, up to its Content-Type.
    QList<std::pair<QByteArray, QByteArray>> exchangeFields(const QByteArray& type, const CacheEntry& entry,
                                                            const Prepared& prepared) const;
    // Writes a short record (warcinfo, revisit) as a member of its own; false when the file failed, the
    // writer then failed for good.
    bool writeShortRecord(const QByteArray& header, const QByteArray& block);
    // Appends a prepared member; false when the file failed, the writer then failed for good.
    bool appendMember(const Prepared& prepared);
    bool rewind(qint64 start);

    QFileDevice& out_;
    const QString spoolFolder_;
    GzipMemberWriter gzip_;
    QByteArray infoId_;
    bool failed_ = false;
    std::vector<Capture> captures_;
    QSet<QString> recorded_;            // entries recorded: folder, key and URL
    QHash<QByteArray, First> byDigest_; // the first response of each payload
};
