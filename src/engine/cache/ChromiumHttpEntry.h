#pragma once

#include "engine/cache/CacheEntry.h"
#include "engine/cache/HttpResponseHead.h"
#include "engine/cache/StoredBody.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <optional>

// What Chromium's two disk formats (simple and blockfile) keep alike of an HTTP cache entry: the key and
// the response info of stream 0. Both readers decide here which entries are worth offering.
class ChromiumHttpEntry
{
public:
    // The URL and response head of an entry whose key belongs to the HTTP cache and whose response is a
    // 2xx stored whole; std::nullopt for other stores' keys, damaged response info, error pages,
    // redirects and responses the browser marked truncated. A 206 passes: its bytes lie elsewhere, and
    // the caller knows where.
    static std::optional<ChromiumHttpEntry> fromStreams(QByteArrayView key, QByteArrayView responseInfo);

    // The same for an entry of a service worker's cache (CacheStorage), keyed by the request URL alone
    // and whose stream 0 is a CacheStorageMetadata message; the body is stored with no content coding.
    static std::optional<ChromiumHttpEntry> fromCacheStorage(QByteArrayView key, QByteArrayView metadata);

    // The size `body` has once its content encoding is undone, where the encoded data records it (see
    // ContentDecoder::sizeHint); CacheEntry::kUnknownSize otherwise, as finding it would mean decoding.
    // `bodyHead` is the body's first bytes (the whole body when it is short enough to have been read
    // whole), `bodyTail` its last bytes; either may be empty when the body is not encoded.
    static qint64 sizeHintOf(const StoredBody& body, QByteArrayView bodyHead, QByteArrayView bodyTail);

    // The length of the whole resource from a 206's Content-Range ("bytes 0-220543/220544"); std::nullopt
    // when it is unknown ("*") or malformed.
    static std::optional<qint64> resourceLengthOf(const QString& contentRange);

    // True for no encoding at all: the stored bytes are the body.
    static bool isIdentity(const QString& contentEncoding);

    // A CacheEntry of `sourceFolder` with what the key and the response give: its URL, Content-Type, response
    // head, response time and server address.
    // Its local name follows from those; where the body lies, its size, last use and key are the format's
    // to fill in.
    CacheEntry toCacheEntry(const QString& sourceFolder) const;

    const QString& url() const { return url_; }
    const HttpResponseHead& head() const { return head_; }

private:
    ChromiumHttpEntry(QString url, HttpResponseHead head, QByteArray rawHead, qint64 responseTime,
                      QByteArray serverAddress)
        : url_(std::move(url)), head_(std::move(head)), rawHead_(std::move(rawHead)), responseTime_(responseTime),
          serverAddress_(std::move(serverAddress))
    {}

    QString url_;
    HttpResponseHead head_;
    QByteArray rawHead_;  // shared with head_
    qint64 responseTime_; // ChromiumTime
    QByteArray serverAddress_;
};
