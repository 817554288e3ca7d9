#include "engine/cache/WebKitRecord.h"

#include "engine/cache/LittleEndianReader.h"

#include <QLatin1StringView>
#include <algorithm>
#include <bit>
#include <cmath>
#include <optional>

namespace
{

constexpr qsizetype kDigestSize = 20;
constexpr quint32 kNoString = 0xffffffff;

// A string of the record as it lies in the file: Latin-1 bytes, or UTF-16 code units (little-endian).
struct StoredString
{
    QByteArrayView bytes;
    bool latin1 = true;
    bool present = false;

    QString toString() const
    {
        if (latin1)
            return QString::fromLatin1(bytes);
        QString text(bytes.size() / 2, Qt::Uninitialized);
        for (qsizetype i = 0; i < text.size(); ++i)
            text[i] = QChar(quint16(quint8(bytes[2 * i]) | quint8(bytes[2 * i + 1]) << 8));
        return text;
    }

    // Whether this is `name`, an ASCII field name in lower case, compared without regard to case.
    bool isName(QLatin1StringView name) const
    {
        return latin1 && bytes.size() == name.size() &&
               QLatin1StringView(bytes).compare(name, Qt::CaseInsensitive) == 0;
    }

    // The text on one line of a head: line ends and NULs in a stored field would start another.
    QByteArray toLineText() const
    {
        QByteArray text = latin1 ? bytes.toByteArray() : toString().toUtf8();
        for (char& c : text) {
            if (c == '\r' || c == '\n' || c == '\0')
                c = ' ';
        }
        return text;
    }
};

// Reads the fields of the record one after another; every read is checked against the end of the bytes.
class FieldCursor
{
public:
    explicit FieldCursor(QByteArrayView bytes) : reader_(bytes) {}

    qint64 offset() const { return offset_; }
    qint64 remaining() const { return reader_.size() - offset_; }

    std::optional<QByteArrayView> take(qint64 length)
    {
        const std::optional<QByteArrayView> bytes = reader_.bytes(offset_, length);
        if (bytes)
            offset_ += length;
        return bytes;
    }

    std::optional<quint8> u8()
    {
        const std::optional<QByteArrayView> byte = take(1);
        return byte ? std::optional<quint8>(quint8(byte->front())) : std::nullopt;
    }
    std::optional<quint16> u16() { return advance(reader_.u16(offset_), 2); }
    std::optional<quint32> u32() { return advance(reader_.u32(offset_), 4); }
    std::optional<quint64> u64() { return advance(reader_.u64(offset_), 8); }

    std::optional<double> f64()
    {
        const std::optional<quint64> bits = u64();
        return bits ? std::optional<double>(std::bit_cast<double>(*bits)) : std::nullopt;
    }

    std::optional<StoredString> string()
    {
        const std::optional<quint32> length = u32();
        if (!length)
            return std::nullopt;
        if (*length == kNoString)
            return StoredString{};
        const std::optional<quint8> latin1 = u8();
        if (!latin1)
            return std::nullopt;
        // The length counts characters: twice as many bytes for UTF-16. Checked against what is left
        // before anything is taken, so a hostile length costs nothing.
        const qint64 bytes = *latin1 ? qint64(*length) : 2 * qint64(*length);
        const std::optional<QByteArrayView> characters = take(bytes);
        if (!characters)
            return std::nullopt;
        return StoredString{*characters, *latin1 != 0, true};
    }

private:
    template <typename T>
    std::optional<T> advance(std::optional<T> value, qint64 size)
    {
        if (value)
            offset_ += size;
        return value;
    }

    LittleEndianReader reader_;
    qint64 offset_ = 0;
};

int hexValue(char digit)
{
    if (digit >= '0' && digit <= '9')
        return digit - '0';
    if (digit >= 'A' && digit <= 'F')
        return digit - 'A' + 10;
    if (digit >= 'a' && digit <= 'f')
        return digit - 'a' + 10;
    return -1;
}

// Whether `hexName` spells `digest` in hex digits of either case.
bool namesDigest(QByteArrayView digest, QByteArrayView hexName)
{
    if (hexName.size() != 2 * digest.size())
        return false;
    for (qsizetype i = 0; i < digest.size(); ++i) {
        const int byte = quint8(digest[i]);
        if (hexValue(hexName[2 * i]) != byte >> 4 || hexValue(hexName[2 * i + 1]) != (byte & 0xf))
            return false;
    }
    return true;
}

bool matchesDigest(QByteArrayView stored, const KeyDigest::Sha1& computed)
{
    return std::equal(stored.begin(), stored.end(), computed.begin(), computed.end(),
                      [](char a, unsigned char b) { return quint8(a) == b; });
}

bool isHttpUrl(const QString& url)
{
    return url.startsWith(QLatin1String("http://"), Qt::CaseInsensitive) ||
           url.startsWith(QLatin1String("https://"), Qt::CaseInsensitive);
}

} // namespace

const char* WebKitRecord::nameOf(Refusal refusal)
{
    switch (refusal) {
    case Refusal::None:
        return "none";
    case Refusal::Unreadable:
        return "unreadable";
    case Refusal::NotRegularFile:
        return "not a regular file";
    case Refusal::TooLarge:
        return "too large";
    case Refusal::NoSalt:
        return "no salt";
    case Refusal::Truncated:
        return "truncated";
    case Refusal::UnknownVersion:
        return "unknown version";
    case Refusal::NotResource:
        return "not a resource";
    case Refusal::Misplaced:
        return "misplaced";
    case Refusal::HeaderHashMismatch:
        return "header hash mismatch";
    case Refusal::BadResponse:
        return "bad response";
    case Refusal::TooManyHeaderFields:
        return "too many header fields";
    case Refusal::InlineSizeMismatch:
        return "inline size mismatch";
    case Refusal::BlobMissing:
        return "blob missing";
    case Refusal::BlobNotRegularFile:
        return "blob not a regular file";
    case Refusal::BlobSizeMismatch:
        return "blob size mismatch";
    case Refusal::NotHttp:
        return "not http";
    case Refusal::NotSuccessful:
        return "not successful";
    case Refusal::PartialContent:
        return "partial content";
    case Refusal::IncompleteBody:
        return "incomplete body";
    }
    return "unknown";
}

std::variant<WebKitRecord, WebKitRecord::Refusal>
WebKitRecord::parse(QByteArrayView bytes, QByteArrayView salt, QByteArrayView fileName, QByteArrayView folderName)
{
    if (bytes.size() > kMaxFileSize)
        return Refusal::TooLarge;
    if (salt.size() != kSaltSize)
        return Refusal::NoSalt;
    FieldCursor cursor(bytes);
    const std::optional<quint32> version = cursor.u32();
    if (!version)
        return Refusal::Truncated;
    if (*version != kVersion)
        return Refusal::UnknownVersion;

    const std::optional<StoredString> partition = cursor.string();
    const std::optional<StoredString> type = cursor.string();
    const std::optional<StoredString> identifier = cursor.string();
    const std::optional<StoredString> range = cursor.string();
    const std::optional<QByteArrayView> keyHash = cursor.take(kDigestSize);
    const std::optional<QByteArrayView> partitionHash = cursor.take(kDigestSize);
    const std::optional<double> timeStamp = cursor.f64();
    const std::optional<QByteArrayView> headerHash = cursor.take(kDigestSize);
    const std::optional<quint64> headerSize = cursor.u64();
    const std::optional<QByteArrayView> bodyHash = cursor.take(kDigestSize);
    const std::optional<quint64> bodySize = cursor.u64();
    const std::optional<quint8> bodyInline = cursor.u8();
    const std::optional<QByteArrayView> checksum = cursor.take(kDigestSize);
    if (!partition || !type || !identifier || !range || !keyHash || !partitionHash || !timeStamp || !headerHash ||
        !headerSize || !bodyHash || !bodySize || !bodyInline || !checksum)
        return Refusal::Truncated;
    if (!type->latin1 || type->bytes != "Resource")
        return Refusal::NotResource;
    if (!namesDigest(*keyHash, fileName) || !namesDigest(*partitionHash, folderName))
        return Refusal::Misplaced;
    if (*headerSize > quint64(cursor.remaining()))
        return Refusal::Truncated;
    const QByteArrayView header = *cursor.take(qint64(*headerSize));
    if (!matchesDigest(*headerHash, KeyDigest::sha1(salt, header)))
        return Refusal::HeaderHashMismatch;

    WebKitRecord record;
    record.bodyInline_ = *bodyInline != 0;
    record.bodySize_ = *bodySize;
    std::transform(bodyHash->begin(), bodyHash->end(), record.bodyHash_.begin(),
                   [](char byte) { return static_cast<unsigned char>(byte); });
    if (record.bodyInline_) {
        if (*bodySize != quint64(cursor.remaining()))
            return Refusal::InlineSizeMismatch;
        record.bodyOffset_ = cursor.offset();
    }
    record.url_ = identifier->toString();
    record.timeStamp_ = std::isfinite(*timeStamp) ? *timeStamp : 0;

    // The response, as far as it is needed.
    FieldCursor response(header);
    const std::optional<quint8> flag = response.u8();
    const std::optional<StoredString> responseUrl = response.string();
    const std::optional<StoredString> mimeType = response.string();
    const std::optional<quint64> expectedLength = response.u64();
    const std::optional<StoredString> textEncoding = response.string();
    const std::optional<StoredString> statusText = response.string();
    const std::optional<StoredString> httpVersion = response.string();
    const std::optional<quint64> fieldCount = response.u64();
    if (!flag || !responseUrl || !mimeType || !expectedLength || !textEncoding || !statusText || !httpVersion ||
        !fieldCount)
        return Refusal::BadResponse;
    if (*fieldCount > kMaxHeaderFields)
        return Refusal::TooManyHeaderFields;
    for (quint64 i = 0; i < *fieldCount; ++i) {
        const std::optional<StoredString> name = response.string();
        const std::optional<StoredString> value = response.string();
        if (!name || !value)
            return Refusal::BadResponse;
        // The first of each is the one that counts, as HttpResponseHead::field has it.
        const bool isEncoding = name->isName(QLatin1StringView("content-encoding"));
        const bool isLength = name->isName(QLatin1StringView("content-length"));
        if (record.contentType_.isNull() && name->isName(QLatin1StringView("content-type")))
            record.contentType_ = value->toString().trimmed();
        else if (record.contentEncoding_.isNull() && isEncoding)
            record.contentEncoding_ = value->toString().trimmed().toLower();
        else if (record.contentLength_.isNull() && isLength)
            record.contentLength_ = value->toString().trimmed();
        if (!isEncoding && !isLength && !name->isName(QLatin1StringView("transfer-encoding")))
            record.headerLines_.append(name->toLineText()).append(": ").append(value->toLineText()).append("\r\n");
    }
    const std::optional<quint16> status = response.u16();
    if (!status)
        return Refusal::BadResponse;
    record.statusCode_ = *status;
    const QByteArray protocol = httpVersion->toLineText().trimmed();
    record.statusLine_ = (protocol.startsWith("HTTP/") ? protocol : QByteArrayLiteral("HTTP/1.1")) + ' ' +
                         QByteArray::number(*status) + ' ' + statusText->toLineText().trimmed();
    if (record.contentType_.isNull())
        record.contentType_ = mimeType->toString();
    return record;
}

QByteArray WebKitRecord::responseHeadFor(const QString& storedEncoding) const
{
    QByteArray head = statusLine_ + "\r\n" + headerLines_;
    if (!storedEncoding.isEmpty())
        head.append("Content-Encoding: ").append(storedEncoding.toLatin1()).append("\r\n");
    head.append("Content-Length: ").append(QByteArray::number(bodySize_)).append("\r\n");
    return head;
}

WebKitRecord::Refusal WebKitRecord::unusable() const
{
    if (!isHttpUrl(url_))
        return Refusal::NotHttp;
    if (statusCode_ == 206)
        return Refusal::PartialContent;
    if (statusCode_ < 200 || statusCode_ > 299)
        return Refusal::NotSuccessful;
    // Content-Length counts the bytes as sent; only a body sent without a coding is stored as it came.
    if (!contentLength_.isEmpty() && (contentEncoding_.isEmpty() || contentEncoding_ == u"identity")) {
        bool isNumber = false;
        const qulonglong announced = contentLength_.toULongLong(&isNumber);
        if (!isNumber || announced != bodySize_)
            return Refusal::IncompleteBody;
    }
    return Refusal::None;
}
