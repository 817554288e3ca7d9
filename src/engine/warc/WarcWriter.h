#pragma once

#include "engine/cache/CacheEntry.h"
#include "engine/cache/EntryBody.h"
#include "engine/warc/GzipMemberWriter.h"

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>
#include <vector>

class QFileDevice;

// Writes a harvest as a web archive (WARC 1.1, each record a gzip member of its own) into a file: a
// warcinfo record, then for each cache entry a `response` record whose block is the response's status
// line and stored header fields (HttpResponseBlock) and the body exactly as the cache stores it, content
// coding kept; a body already recorded under another entry becomes a `revisit` record (identical payload
// digest profile) that points at the first.
//
// The digests go in the record's header, before its block, and the body is never held: it is read from the
// cache twice, once for its digests and once into the file, and the second reading's CRC-32 must match the
// first's, or the record is cut off the file again (the entry changed meanwhile). An entry that cannot make a
// whole record is refused with the reason, and the file stays as it was before it.
//
// Not thread-safe: one thread (the copy worker's commit step) writes, in the order the records are to have.
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
        Changed,        // its body changed between the two readings
        WriteFailed,    // the file refused bytes: this record and every later one are lost
    };
    static constexpr int kRefusalKinds = int(Refusal::WriteFailed) + 1;

    // The largest body recorded: as large as a decoded body may be (EntryBody::kMaxDecodedSize).
    static constexpr qint64 kMaxPayloadSize = EntryBody::kMaxDecodedSize;

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

    // What the first reading of an entry's body gives, or why it has no record: prepare() makes it on any
    // thread, beforehand, so the thread that writes records only reads each body once more.
    struct Prepared
    {
        Refusal refusal = Refusal::None;
        EntryBody::Refusal bodyRefusal = EntryBody::Refusal::None;
        QByteArray head; // HttpResponseBlock::bytes()
        int status = 0;
        QDateTime date;
        QByteArray payloadDigest;
        QByteArray blockDigest;
        quint32 payloadCrc = 0;
    };
    // Thread-safe.
    static Prepared prepare(const CacheEntry& entry);

    // `out` is open for writing, empty, and outlives the writer.
    explicit WarcWriter(QFileDevice& out);

    // The warcinfo record; call first. `software` names the program and its version, `caches` the folders read.
    bool writeInfo(const QByteArray& software, const QStringList& caches);
    Outcome record(const CacheEntry& entry);
    // The same with the first reading done by prepare(), for `entry` as it was then.
    Outcome record(const CacheEntry& entry, const Prepared& prepared);

    // After a write failure, nothing more is written; the file is to be discarded.
    bool failed() const { return failed_; }
    const std::vector<Capture>& captures() const { return captures_; }

    // The form of WARC-Date: UTC, to the second.
    static QByteArray dateText(const QDateTime& time);
    // When the response was made: the cache's response time, else its Date field, else the last use.
    static QDateTime dateOf(const CacheEntry& entry, const QDateTime& headDate);

private:
    struct First
    {
        QString url;
        QByteArray date;
        QByteArray recordId;
    };

    // Writes one record (its header fields, block head and, where given, body read a second time) as a
    // member; false when the file failed or the body differed from the first reading (its CRC-32
    // `payloadCrc`), the file then cut back to where the record began.
    bool writeRecord(const QByteArray& header, const QByteArray& blockHead, const CacheEntry* bodyOf,
                     quint32 payloadCrc, Outcome* outcome);
    bool rewind(qint64 start);

    QFileDevice& out_;
    GzipMemberWriter gzip_;
    QByteArray infoId_;
    bool failed_ = false;
    std::vector<Capture> captures_;
    QSet<QString> recorded_;            // entries recorded: folder, key and URL
    QHash<QByteArray, First> byDigest_; // the first response of each payload
};
