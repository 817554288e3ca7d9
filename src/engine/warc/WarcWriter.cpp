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

// Passes bytes on until `abort` (where given) is set, which ends the reading.
class AbortableSink final : public ByteSink
{
public:
    AbortableSink(ByteSink& next, const std::atomic<bool>* abort) : next_(next), abort_(abort) {}

    bool write(QByteArrayView bytes) override
    {
        if (abort_ != nullptr && abort_->load(std::memory_order_relaxed))
            return false;
        return next_.write(bytes);
    }

private:
    ByteSink& next_;
    const std::atomic<bool>* const abort_;
};

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
    Prepared prepared;
    const std::optional<HttpResponseBlock> head = HttpResponseBlock::fromCachedHead(entry.responseHead);
    if (!head) {
        prepared.refusal = Refusal::NoResponseHead;
        return prepared;
    }
    const qint64 length = entry.body.length;
    if (head->statusCode() == 206 || (head->contentLength() && *head->contentLength() != length)) {
        prepared.refusal = Refusal::Partial;
        return prepared;
    }
    if (length > kMaxPayloadSize) {
        prepared.refusal = Refusal::TooLarge;
        return prepared;
    }
    // One compressor per preparing thread for each part: setting one up costs more than a small record.
    thread_local GzipMemberWriter bodyPart(GzipMemberWriter::kLevel, GzipMemberWriter::Framing::Part);
    const auto refuse = [&prepared](Refusal why, EntryBody::Refusal read = EntryBody::Refusal::None) {
        bodyPart.reset();
        prepared.refusal = why;
        prepared.bodyRefusal = read;
        prepared.member.reset();
        return prepared;
    };

    // One reading gives the digests and the body's part of the record's gzip member, which waits in the
    // spool: the record's header, which names the digests, becomes the member's first part once they are known.
    prepared.member = openSpool(length + kRecordEnd.size());
    if (!prepared.member)
        return refuse(Refusal::WriteFailed, EntryBody::Refusal::SinkFailed);
    bodyPart.begin(*prepared.member, isCompressible(entry));
    DigestingSink block;
    block.write(head->bytes());
    TeeSink blockAndMember(block, bodyPart);
    DigestingSink payload(&blockAndMember);
    AbortableSink reading(payload, abort);
    const EntryBody::Refusal read = EntryBody::streamStored(entry.body, reading);
    if (read != EntryBody::Refusal::None) {
        // The spool refused bytes, or the reading was abandoned.
        const bool spoolFailed = read == EntryBody::Refusal::SinkFailed && !(abort != nullptr && *abort);
        return refuse(spoolFailed ? Refusal::WriteFailed : Refusal::BodyRefused, read);
    }
    if (payload.count() != length)
        return refuse(Refusal::Changed);
    if (!bodyPart.write(kRecordEnd) || !bodyPart.finishPart(true))
        return refuse(Refusal::WriteFailed, EntryBody::Refusal::SinkFailed);

    prepared.head = head->bytes();
    prepared.status = head->statusCode();
    prepared.date = entry.responseTime.isValid() ? entry.responseTime : dateOf(entry, head->date());
    prepared.recordId = newRecordId();
    prepared.payloadDigest = payload.labelledDigest();
    QList<Field> fields = exchangeFields("response", entry, prepared);
    fields.append(Field{"WARC-Payload-Digest", prepared.payloadDigest});
    fields.append(Field{"WARC-Block-Digest", block.labelledDigest()});
    const QByteArray header = headerOf(fields, prepared.head.size() + length);

    thread_local GzipMemberWriter headerPart(GzipMemberWriter::kLevel, GzipMemberWriter::Framing::Part);
    QBuffer first(&prepared.memberHead);
    first.open(QIODevice::WriteOnly);
    first.write(GzipMemberWriter::memberHeader());
    headerPart.begin(first);
    if (!headerPart.write(header) || !headerPart.write(prepared.head) || !headerPart.finishPart(false))
        return refuse(Refusal::WriteFailed, EntryBody::Refusal::SinkFailed);
    prepared.memberTail = GzipMemberWriter::memberTrailer(
        GzipMemberWriter::combinedCrc(headerPart.crc(), bodyPart.crc(), bodyPart.size()),
        headerPart.size() + bodyPart.size());
    return prepared;
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
