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

// Passes bytes on, taking their CRC-32: what tells the second reading of a body from the first, at a small
// part of a digest's cost. Refuses them once `abort` (where given) is set, which ends the reading.
class CrcSink final : public ByteSink
{
public:
    CrcSink(ByteSink& next, const std::atomic<bool>* abort) : next_(next), abort_(abort) {}

    bool write(QByteArrayView bytes) override
    {
        if (abort_ != nullptr && abort_->load(std::memory_order_relaxed))
            return false;
        crc_ = crc32_z(crc_, reinterpret_cast<const Bytef*>(bytes.data()), z_size_t(bytes.size()));
        count_ += bytes.size();
        return next_.write(bytes);
    }

    quint32 crc() const { return quint32(crc_); }
    qint64 count() const { return count_; }

private:
    ByteSink& next_;
    const std::atomic<bool>* const abort_;
    uLong crc_ = crc32_z(0, nullptr, 0);
    qint64 count_ = 0;
};

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
    const auto refuse = [&prepared](EntryBody::Refusal read) {
        const bool changed = read == EntryBody::Refusal::None || read == EntryBody::Refusal::Changed ||
                             read == EntryBody::Refusal::Vanished;
        prepared.refusal = read == EntryBody::Refusal::SinkFailed ? Refusal::WriteFailed
                           : changed                              ? Refusal::Changed
                                                                  : Refusal::BodyRefused;
        prepared.bodyRefusal = read;
        prepared.member.reset();
        return prepared;
    };

    // The first reading: the digests for the header.
    DigestingSink block;
    block.write(head->bytes());
    DigestingSink payload(&block);
    CrcSink checked(payload, abort);
    const EntryBody::Refusal read = EntryBody::streamStored(entry.body, checked);
    if (read != EntryBody::Refusal::None) {
        prepared.refusal = Refusal::BodyRefused;
        prepared.bodyRefusal = read;
        return prepared;
    }
    if (payload.count() != length)
        return refuse(EntryBody::Refusal::None);

    prepared.head = head->bytes();
    prepared.status = head->statusCode();
    prepared.date = entry.responseTime.isValid() ? entry.responseTime : dateOf(entry, head->date());
    prepared.recordId = newRecordId();
    prepared.payloadDigest = payload.labelledDigest();
    QList<Field> fields = exchangeFields("response", entry, prepared);
    fields.append(Field{"WARC-Payload-Digest", prepared.payloadDigest});
    fields.append(Field{"WARC-Block-Digest", block.labelledDigest()});
    const QByteArray header = headerOf(fields, prepared.head.size() + length);

    // The second reading, into the member: the same bytes, or no record.
    prepared.member = openSpool(header.size() + prepared.head.size() + length);
    if (!prepared.member)
        return refuse(EntryBody::Refusal::SinkFailed);
    // One compressor per preparing thread: setting one up costs more than a small record.
    thread_local GzipMemberWriter gzip;
    gzip.begin(*prepared.member, isCompressible(entry));
    if (!gzip.write(header) || !gzip.write(prepared.head))
        return refuse(EntryBody::Refusal::SinkFailed);
    CrcSink again(gzip, abort);
    const EntryBody::Refusal reread = EntryBody::streamStored(entry.body, again);
    if (reread != EntryBody::Refusal::None || again.count() != length || again.crc() != checked.crc()) {
        gzip.reset();
        return refuse(reread);
    }
    if (!gzip.write("\r\n\r\n") || !gzip.finish())
        return refuse(EntryBody::Refusal::SinkFailed);
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
        written = prepared.member && appendMember(*prepared.member);
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

bool WarcWriter::appendMember(QIODevice& member)
{
    const qint64 start = out_.pos();
    char buffer[64 * 1024];
    bool copied = member.seek(0);
    while (copied && !member.atEnd()) {
        const qint64 got = member.read(buffer, sizeof buffer);
        copied = got > 0 && out_.write(buffer, got) == got;
    }
    if (copied)
        return true;
    rewind(start);
    failed_ = true;
    return false;
}

bool WarcWriter::rewind(qint64 start)
{
    return out_.flush() && out_.resize(start) && out_.seek(start);
}
