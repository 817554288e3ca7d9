#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>
#include <optional>

// The head of a response as a web archive's record holds it: the status line and header lines of a cached
// response, each ended by CR LF, then the empty line, made from the head as the cache keeps it (lines ended
// by CR LF, LF or NUL, folded lines). Hop-by-hop fields (Connection and those it names, Keep-Alive,
// Transfer-Encoding, TE, Trailer, Upgrade, the proxy fields) and cookies are left out: the stored body is
// not chunked, and caches keep no cookies.
class HttpResponseBlock
{
public:
    // Real heads are a few KiB; browsers refuse far less than this.
    static constexpr qsizetype kMaxHeadSize = 256 * 1024;
    // Header fields kept at most; the rest of a head with more is refused with it.
    static constexpr int kMaxFields = 1000;

    // std::nullopt without a status line ("HTTP/1.1 200 OK"), for a head past a cap, or for an empty one.
    static std::optional<HttpResponseBlock> fromCachedHead(QByteArrayView cached);

    const QByteArray& bytes() const { return bytes_; }
    int statusCode() const { return statusCode_; }
    // Content-Length where the head gives a valid one: the stored body's length when it is whole.
    std::optional<qint64> contentLength() const { return contentLength_; }
    // The Date field as a time; invalid without one that parses. Parsed when asked: most caches say when the
    // response came without it, and parsing a date costs more than the rest of the head.
    QDateTime date() const;

private:
    QByteArray bytes_;
    int statusCode_ = 0;
    std::optional<qint64> contentLength_;
    QByteArray dateField_;
};
