#include "engine/warc/WarcWriter.h"

#include "engine/warc/DigestingSink.h"
#include "engine/warc/HttpResponseBlock.h"

#include <QBuffer>
#include <QFileDevice>
#include <QFileInfo>
#include <QTemporaryFile>
#include <QUuid>
#include <zlib.h>

namespace
{

using Field = std::pair<QByteArray, QByteArray>;

// Passes the same bytes to two sinks.
class TeeSink final : public ByteSink
{
public:
    TeeSink(ByteSink& first, ByteSink& second) : first_(first), second_(second) {}

    bool write(QByteArrayView bytes) override { return first_.write(bytes) && second_.write(bytes); }

private:
    ByteSink& first_;
    ByteSink& second_;
};

// What ends every record's block.
constexpr QByteArrayView kRecordEnd = "\r\n\r\n";

// Whether a body is worth compressing: not when its coding or its type compresses it already.
bool isCompressible(const CacheEntry& entry)
{
    if (!entry.body.contentEncoding.isEmpty())
        return false;
    const QString type = entry.contentType.section(u';', 0, 0).trimmed().toLower();
    if (type == u"image/svg+xml" || type == u"image/bmp" || type == u"image/x-icon")
        return true;
    static const QStringList kCompressed = {QStringLiteral("image/"),
                                            QStringLiteral("video/"),
                                            QStringLiteral("audio/"),
                                            QStringLiteral("font/woff"),
                                            QStringLiteral("application/font-woff"),
                                            QStringLiteral("application/zip"),
                                            QStringLiteral("application/gzip"),
                                            QStringLiteral("application/x-gzip"),
                                            QStringLiteral("application/pdf")};
    for (const QString& prefix : kCompressed) {
        if (type.startsWith(prefix))
            return false;
    }
    return true;
}

QByteArray newRecordId()
{
    return "<urn:uuid:" + QUuid::createUuid().toByteArray(QUuid::WithoutBraces) + ">";
}

// The media type of a Content-Type, for the index.
QByteArray mimeOf(const QString& contentType)
{
    const QString type = contentType.section(u';', 0, 0).trimmed().toLower();
    return type.isEmpty() ? QByteArrayLiteral("unk") : type.toLatin1();
}

// A header field value on one line: the URL of an entry could hold anything.
QByteArray fieldValue(const QString& text)
{
    QByteArray value = text.toUtf8();
    for (char& c : value) {
        if (c == '\r' || c == '\n')
            c = ' ';
    }
    return value;
}

QByteArray headerOf(const QList<Field>& fields, qint64 contentLength)
{
    QByteArray header = "WARC/1.1\r\n";
    for (const auto& [name, value] : fields)
        header.append(name).append(": ").append(value).append("\r\n");
    header.append("Content-Length: ").append(QByteArray::number(contentLength)).append("\r\n\r\n");
    return header;
}

} // namespace

WarcWriter::WarcWriter(QFileDevice& out) : out_(out), spoolFolder_(QFileInfo(out.fileName()).absolutePath()) {}

WarcWriter::~WarcWriter() = default;

std::shared_ptr<QIODevice> WarcWriter::openSpool(qint64 size) const
{
    std::shared_ptr<QIODevice> spool;
    if (size <= kMaxSpooledInMemory) {
        auto buffer = std::make_shared<QBuffer>();
        // Room for the member as stored (compression only shrinks it) and its framing, grown once.
        buffer->buffer().reserve(qsizetype(size) + size / 8 + 256);
        spool = std::move(buffer);
    } else
        spool = std::make_shared<QTemporaryFile>(spoolFolder_ + QStringLiteral("/.webgleaner-XXXXXX.part"));
    if (!spool->open(QIODevice::ReadWrite))
        return nullptr;
    return spool;
}

QByteArray WarcWriter::dateText(const QDateTime& time)
{
    return time.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ssZ")).toLatin1();
}

QDateTime WarcWriter::dateOf(const CacheEntry& entry, const QDateTime& headDate)
{
    if (entry.responseTime.isValid())
        return entry.responseTime;
    if (headDate.isValid())
        return headDate;
    if (entry.lastAccess.isValid())
        return entry.lastAccess;
    return QDateTime::currentDateTimeUtc();
}

bool WarcWriter::writeInfo(const QByteArray& software, const QStringList& caches)
{
    QByteArray fields = "software: " + software + "\r\n";
    fields += "format: WARC File Format 1.1\r\n";
    fields += "conformsTo: http://iipc.github.io/warc-specifications/specifications/warc-format/warc-1.1/\r\n";
    for (const QString& cache : caches)
        fields += "x-source-cache: " + fieldValue(cache) + "\r\n";
    fields += "description: " +
              QStringLiteral("从浏览器缓存回收的响应：状态行、缓存保存的首部和原样保存的正文（保留内容编码）。"
                             "缓存不保存 Cookie 和逐跳首部，记录中也没有；缓存不保存请求，所以没有 request 记录。")
                  .toUtf8() +
              "\r\n";
    infoId_ = newRecordId();
    const QByteArray header = headerOf({{"WARC-Type", "warcinfo"},
                                        {"WARC-Record-ID", infoId_},
                                        {"WARC-Date", dateText(QDateTime::currentDateTimeUtc())},
                                        {"WARC-Filename", "data.warc.gz"},
                                        {"Content-Type", "application/warc-fields"}},
                                       fields.size());
    return writeShortRecord(header, fields);
}

WarcWriter::Prepared WarcWriter::prepare(const CacheEntry& entry, const std::atomic<bool>* abort) const
{
    Preparation preparation(*this, entry, abort);
    if (!preparation.wantsBody())
        return preparation.finish(EntryBody::Refusal::None);
    return preparation.finish(EntryBody::streamStored(entry.body, preparation));
}

namespace
{

// One compressor per preparing thread: setting one up costs more than a small record. A body's part, then
// its header's.
thread_local GzipMemberWriter tBodyPart(GzipMemberWriter::kLevel, GzipMemberWriter::Framing::Part);
thread_local GzipMemberWriter tHeaderPart(GzipMemberWriter::kLevel, GzipMemberWriter::Framing::Part);

} // namespace

WarcWriter::Preparation::Preparation(const WarcWriter& writer, const CacheEntry& entry, const std::atomic<bool>* abort)
    : writer_(writer), entry_(entry), abort_(abort)
{
    head_ = HttpResponseBlock::fromCachedHead(entry.responseHead);
    if (!head_) {
        prepared_.refusal = Refusal::NoResponseHead;
        return;
    }
    const qint64 length = entry.body.length;
    if (head_->statusCode() == 206 || (head_->contentLength() && *head_->contentLength() != length)) {
        prepared_.refusal = Refusal::Partial;
        return;
    }
    if (length > kMaxPayloadSize) {
        prepared_.refusal = Refusal::TooLarge;
        return;
    }
    // The body's part of the record's gzip member waits in the spool: the record's header, which names the
    // digests, becomes the member's first part once they are known.
    prepared_.member = writer_.openSpool(length + kRecordEnd.size());
    if (!prepared_.member) {
        refuse(Refusal::WriteFailed, EntryBody::Refusal::SinkFailed);
        return;
    }
    tBodyPart.begin(*prepared_.member, isCompressible(entry));
    block_ = std::make_unique<DigestingSink>();
    block_->write(head_->bytes());
    blockAndMember_ = std::make_unique<TeeSink>(*block_, tBodyPart);
    payload_ = std::make_unique<DigestingSink>(blockAndMember_.get());
}

WarcWriter::Preparation::~Preparation()
{
    // Abandoned with its reading: the thread's compressor is left ready for the next record.
    if (!finished_)
        tBodyPart.reset();
}

bool WarcWriter::Preparation::write(QByteArrayView bytes)
{
    if (abort_ != nullptr && abort_->load(std::memory_order_relaxed))
        return false;
    if (payload_ && !spoolFailed_)
        spoolFailed_ = !payload_->write(bytes);
    return true;
}

WarcWriter::Prepared WarcWriter::Preparation::refuse(Refusal why, EntryBody::Refusal read)
{
    tBodyPart.reset();
    prepared_.refusal = why;
    prepared_.bodyRefusal = read;
    prepared_.member.reset();
    finished_ = true;
    return prepared_;
}

WarcWriter::Prepared WarcWriter::Preparation::finish(EntryBody::Refusal read)
{
    if (finished_ || prepared_.refusal != Refusal::None) {
        finished_ = true;
        return prepared_;
    }
    finished_ = true;
    if (read != EntryBody::Refusal::None) {
        // The reading was abandoned, or the body could not be read.
        const bool aborted = abort_ != nullptr && abort_->load(std::memory_order_relaxed);
        return refuse(Refusal::BodyRefused, aborted ? EntryBody::Refusal::SinkFailed : read);
    }
    if (spoolFailed_)
        return refuse(Refusal::WriteFailed, EntryBody::Refusal::SinkFailed);
    const qint64 length = entry_.body.length;
    if (payload_->count() != length)
        return refuse(Refusal::Changed);
    if (!tBodyPart.write(kRecordEnd) || !tBodyPart.finishPart(true))
        return refuse(Refusal::WriteFailed, EntryBody::Refusal::SinkFailed);

    prepared_.head = head_->bytes();
    prepared_.status = head_->statusCode();
    prepared_.date = entry_.responseTime.isValid() ? entry_.responseTime : dateOf(entry_, head_->date());
    prepared_.recordId = newRecordId();
    prepared_.payloadDigest = payload_->labelledDigest();
    QList<Field> fields = writer_.exchangeFields("response", entry_, prepared_);
    fields.append(Field{"WARC-Payload-Digest", prepared_.payloadDigest});
    fields.append(Field{"WARC-Block-Digest", block_->labelledDigest()});
    const QByteArray header = headerOf(fields, prepared_.head.size() + length);

    QBuffer first(&prepared_.memberHead);
    first.open(QIODevice::WriteOnly);
    first.write(GzipMemberWriter::memberHeader());
    tHeaderPart.begin(first);
    if (!tHeaderPart.write(header) || !tHeaderPart.write(prepared_.head) || !tHeaderPart.finishPart(false))
        return refuse(Refusal::WriteFailed, EntryBody::Refusal::SinkFailed);
    prepared_.memberTail = GzipMemberWriter::memberTrailer(
        GzipMemberWriter::combinedCrc(tHeaderPart.crc(), tBodyPart.crc(), tBodyPart.size()),
        tHeaderPart.size() + tBodyPart.size());
    return prepared_;
}

QList<std::pair<QByteArray, QByteArray>> WarcWriter::exchangeFields(const QByteArray& type, const CacheEntry& entry,
                                                                    const Prepared& prepared) const
{
    QList<Field> fields{{"WARC-Type", type},
                        {"WARC-Record-ID", prepared.recordId},
                        {"WARC-Date", dateText(prepared.date)},
                        {"WARC-Target-URI", fieldValue(entry.url)}};
    if (!entry.serverAddress.isEmpty())
        fields.append(Field{"WARC-IP-Address", entry.serverAddress.toLatin1()});
    if (!infoId_.isEmpty())
        fields.append(Field{"WARC-Warcinfo-ID", infoId_});
    fields.append(Field{"Content-Type", "application/http;msgtype=response"});
    return fields;
}

WarcWriter::Outcome WarcWriter::record(const CacheEntry& entry)
{
    const QString identity = entry.sourceFolder + u'\n' + entry.entryKey + u'\n' + entry.url;
    if (recorded_.contains(identity)) {
        Outcome outcome;
        outcome.recordedBefore = true;
        return outcome;
    }
    return record(entry, prepare(entry));
}

WarcWriter::Outcome WarcWriter::record(const CacheEntry& entry, const Prepared& prepared)
{
    Outcome outcome;
    if (failed_) {
        outcome.refusal = Refusal::WriteFailed;
        return outcome;
    }
    const QString identity = entry.sourceFolder + u'\n' + entry.entryKey + u'\n' + entry.url;
    if (recorded_.contains(identity)) {
        outcome.recordedBefore = true;
        return outcome;
    }
    if (prepared.refusal != Refusal::None) {
        outcome.refusal = prepared.refusal;
        outcome.bodyRefusal = prepared.bodyRefusal;
        return outcome;
    }

    const qint64 start = out_.pos();
    const auto first = byDigest_.constFind(prepared.payloadDigest);
    outcome.revisit = first != byDigest_.constEnd();
    bool written;
    if (outcome.revisit) {
        // Its block is the response head alone: the payload is in the record it refers to.
        QList<Field> fields = exchangeFields("revisit", entry, prepared);
        fields.append(Field{"WARC-Profile", kRevisitProfile});
        fields.append(Field{"WARC-Refers-To", first->recordId});
        fields.append(Field{"WARC-Refers-To-Target-URI", fieldValue(first->url)});
        fields.append(Field{"WARC-Refers-To-Date", first->date});
        fields.append(Field{"WARC-Payload-Digest", prepared.payloadDigest});
        fields.append(Field{"WARC-Block-Digest", DigestingSink::labelledDigestOf(prepared.head)});
        written = writeShortRecord(headerOf(fields, prepared.head.size()), prepared.head);
    } else {
        written = prepared.member && appendMember(prepared);
    }
    if (!written) {
        outcome.refusal = Refusal::WriteFailed;
        return outcome;
    }
    if (!outcome.revisit)
        byDigest_.insert(prepared.payloadDigest, First{entry.url, dateText(prepared.date), prepared.recordId});
    recorded_.insert(identity);
    captures_.push_back(Capture{entry.url, prepared.date, start, out_.pos() - start, prepared.payloadDigest,
                                outcome.revisit ? QByteArrayLiteral("warc/revisit") : mimeOf(entry.contentType),
                                prepared.status, outcome.revisit});
    return outcome;
}

bool WarcWriter::writeShortRecord(const QByteArray& header, const QByteArray& block)
{
    const qint64 start = out_.pos();
    gzip_.begin(out_);
    if (gzip_.write(header) && gzip_.write(block) && gzip_.write("\r\n\r\n") && gzip_.finish())
        return true;
    gzip_.reset();
    rewind(start);
    failed_ = true;
    return false;
}

bool WarcWriter::appendMember(const Prepared& prepared)
{
    const qint64 start = out_.pos();
    QIODevice& body = *prepared.member;
    bool copied = out_.write(prepared.memberHead) == prepared.memberHead.size() && body.seek(0);
    char buffer[64 * 1024];
    while (copied && !body.atEnd()) {
        const qint64 got = body.read(buffer, sizeof buffer);
        copied = got > 0 && out_.write(buffer, got) == got;
    }
    if (copied && out_.write(prepared.memberTail) == prepared.memberTail.size())
        return true;
    rewind(start);
    failed_ = true;
    return false;
}

bool WarcWriter::rewind(qint64 start)
{
    return out_.flush() && out_.resize(start) && out_.seek(start);
}
