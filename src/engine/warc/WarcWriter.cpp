#include "engine/warc/WarcWriter.h"

#include "engine/warc/DigestingSink.h"
#include "engine/warc/HttpResponseBlock.h"

#include <QFileDevice>
#include <QUuid>
#include <zlib.h>

namespace
{

using Field = std::pair<QByteArray, QByteArray>;

// Passes bytes on, taking their CRC-32: what tells the second reading of a body from the first, at a small
// part of a digest's cost.
class CrcSink final : public ByteSink
{
public:
    explicit CrcSink(ByteSink& next) : next_(next) {}

    bool write(QByteArrayView bytes) override
    {
        crc_ = crc32_z(crc_, reinterpret_cast<const Bytef*>(bytes.data()), z_size_t(bytes.size()));
        count_ += bytes.size();
        return next_.write(bytes);
    }

    quint32 crc() const { return quint32(crc_); }
    qint64 count() const { return count_; }

private:
    ByteSink& next_;
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

WarcWriter::WarcWriter(QFileDevice& out) : out_(out), gzip_(out) {}

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
    Outcome ignored;
    return writeRecord(header, fields, nullptr, 0, &ignored);
}

WarcWriter::Prepared WarcWriter::prepare(const CacheEntry& entry)
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

    // The first reading: the digests for the header.
    DigestingSink block;
    block.write(head->bytes());
    DigestingSink payload(&block);
    CrcSink checked(payload);
    const EntryBody::Refusal read = EntryBody::streamStored(entry.body, checked);
    if (read != EntryBody::Refusal::None) {
        prepared.refusal = Refusal::BodyRefused;
        prepared.bodyRefusal = read;
        return prepared;
    }
    if (payload.count() != length) {
        prepared.refusal = Refusal::Changed;
        return prepared;
    }
    prepared.head = head->bytes();
    prepared.status = head->statusCode();
    prepared.date = entry.responseTime.isValid() ? entry.responseTime : dateOf(entry, head->date());
    prepared.payloadDigest = payload.labelledDigest();
    prepared.blockDigest = block.labelledDigest();
    prepared.payloadCrc = checked.crc();
    return prepared;
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
    const qint64 length = entry.body.length;
    const QByteArray& payloadDigest = prepared.payloadDigest;
    const QDateTime& date = prepared.date;
    const QByteArray recordId = newRecordId();
    QList<Field> fields;
    const auto first = byDigest_.constFind(payloadDigest);
    outcome.revisit = first != byDigest_.constEnd();
    fields.append(Field{"WARC-Type", outcome.revisit ? "revisit" : "response"});
    fields.append(Field{"WARC-Record-ID", recordId});
    fields.append(Field{"WARC-Date", dateText(date)});
    fields.append(Field{"WARC-Target-URI", fieldValue(entry.url)});
    if (!entry.serverAddress.isEmpty())
        fields.append(Field{"WARC-IP-Address", entry.serverAddress.toLatin1()});
    if (!infoId_.isEmpty())
        fields.append(Field{"WARC-Warcinfo-ID", infoId_});
    fields.append(Field{"Content-Type", "application/http;msgtype=response"});
    if (outcome.revisit) {
        fields.append(Field{"WARC-Profile", kRevisitProfile});
        fields.append(Field{"WARC-Refers-To", first->recordId});
        fields.append(Field{"WARC-Refers-To-Target-URI", fieldValue(first->url)});
        fields.append(Field{"WARC-Refers-To-Date", first->date});
    }
    fields.append(Field{"WARC-Payload-Digest", payloadDigest});
    // A revisit's block is the response head alone: the payload is in the record it refers to.
    const QByteArray blockDigest =
        outcome.revisit ? DigestingSink::labelledDigestOf(prepared.head) : prepared.blockDigest;
    fields.append(Field{"WARC-Block-Digest", blockDigest});
    const QByteArray header = headerOf(fields, prepared.head.size() + (outcome.revisit ? 0 : length));

    const qint64 start = out_.pos();
    gzip_.setCompressible(outcome.revisit || isCompressible(entry));
    if (!writeRecord(header, prepared.head, outcome.revisit ? nullptr : &entry, prepared.payloadCrc, &outcome))
        return outcome;
    if (!outcome.revisit)
        byDigest_.insert(payloadDigest, First{entry.url, dateText(date), recordId});
    recorded_.insert(identity);
    captures_.push_back(Capture{entry.url, date, start, out_.pos() - start, payloadDigest,
                                outcome.revisit ? QByteArrayLiteral("warc/revisit") : mimeOf(entry.contentType),
                                prepared.status, outcome.revisit});
    return outcome;
}

bool WarcWriter::writeRecord(const QByteArray& header, const QByteArray& blockHead, const CacheEntry* bodyOf,
                             quint32 payloadCrc, Outcome* outcome)
{
    const qint64 start = out_.pos();
    bool written = gzip_.write(header) && gzip_.write(blockHead);
    if (written && bodyOf != nullptr) {
        // The second reading, into the file: the same bytes, or no record.
        CrcSink again(gzip_);
        const EntryBody::Refusal read = EntryBody::streamStored(bodyOf->body, again);
        if (read == EntryBody::Refusal::SinkFailed) {
            written = false;
        } else if (read != EntryBody::Refusal::None || again.count() != bodyOf->body.length ||
                   again.crc() != payloadCrc) {
            outcome->refusal = read != EntryBody::Refusal::None && read != EntryBody::Refusal::Changed &&
                                       read != EntryBody::Refusal::Vanished
                                   ? Refusal::BodyRefused
                                   : Refusal::Changed;
            outcome->bodyRefusal = read;
            gzip_.reset();
            if (!rewind(start)) {
                failed_ = true;
                outcome->refusal = Refusal::WriteFailed;
            }
            return false;
        }
    }
    written = written && gzip_.write("\r\n\r\n") && gzip_.finish();
    if (!written) {
        gzip_.reset();
        rewind(start);
        failed_ = true;
        outcome->refusal = Refusal::WriteFailed;
    }
    return written;
}

bool WarcWriter::rewind(qint64 start)
{
    return out_.flush() && out_.resize(start) && out_.seek(start);
}
