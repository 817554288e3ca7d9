#include "engine/cache/ChromiumHttpEntry.h"

#include "engine/cache/CacheStorageMetadata.h"
#include "engine/cache/ChromiumCacheKey.h"
#include "engine/cache/ChromiumResponseInfo.h"
#include "engine/cache/ChromiumTime.h"
#include "engine/cache/ContentDecoder.h"
#include "engine/cache/LocalFileName.h"

std::optional<ChromiumHttpEntry> ChromiumHttpEntry::fromStreams(QByteArrayView key, QByteArrayView responseInfo)
{
    std::optional<QString> url = ChromiumCacheKey::urlOf(key);
    const std::optional<ChromiumResponseInfo> info = ChromiumResponseInfo::parse(responseInfo);
    if (!url || !info || info->truncated)
        return std::nullopt;
    std::optional<HttpResponseHead> head = HttpResponseHead::parse(info->rawHead);
    if (!head || head->statusCode() < 200 || head->statusCode() > 299)
        return std::nullopt;
    return ChromiumHttpEntry(std::move(*url), std::move(*head), info->rawHead, info->responseTime, info->serverAddress);
}

std::optional<ChromiumHttpEntry> ChromiumHttpEntry::fromCacheStorage(QByteArrayView key, QByteArrayView metadata)
{
    std::optional<QString> url = ChromiumCacheKey::urlOf(key);
    if (!url)
        return std::nullopt;
    const CacheStorageMetadata parsed = CacheStorageMetadata::parse(metadata);
    if (parsed.refusal != CacheStorageMetadata::Refusal::None)
        return std::nullopt;
    // Its head names no content coding, as its body is kept decoded: a record of the two agrees.
    QByteArray rawHead = parsed.rawHead();
    std::optional<HttpResponseHead> head = HttpResponseHead::parse(rawHead);
    if (!head)
        return std::nullopt;
    return ChromiumHttpEntry(std::move(*url), std::move(*head), std::move(rawHead), parsed.responseTime, {});
}

CacheEntry ChromiumHttpEntry::toCacheEntry(const QString& sourceFolder) const
{
    CacheEntry entry;
    entry.url = url_;
    entry.contentType = head_.contentType();
    entry.sourceFolder = sourceFolder;
    entry.localName = LocalFileName::forUrl(entry.url, entry.contentType).withCounter(1);
    entry.responseHead = rawHead_;
    entry.responseTime = ChromiumTime::toUtc(responseTime_);
    entry.serverAddress = QString::fromLatin1(serverAddress_);
    return entry;
}

bool ChromiumHttpEntry::isIdentity(const QString& contentEncoding)
{
    return contentEncoding.isEmpty() || contentEncoding == QLatin1String("identity");
}

qint64 ChromiumHttpEntry::sizeHintOf(const StoredBody& body, QByteArrayView bodyHead, QByteArrayView bodyTail)
{
    return ContentDecoder::sizeHint(bodyHead, bodyTail, body.length, body.contentEncoding)
        .value_or(CacheEntry::kUnknownSize);
}

std::optional<qint64> ChromiumHttpEntry::resourceLengthOf(const QString& contentRange)
{
    const qsizetype slash = contentRange.lastIndexOf(QLatin1Char('/'));
    bool isNumber = false;
    const qint64 length = contentRange.mid(slash + 1).trimmed().toLongLong(&isNumber);
    if (slash < 0 || !isNumber || length < 0)
        return std::nullopt;
    return length;
}
