#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <optional>

// The HTTP response info that Chromium keeps in stream 0 of a cache entry: a pickle (32-bit payload
// length, then 4-byte aligned little-endian fields) holding flags, request and response times and the
// raw response head. Only what a reader of the body needs is decoded.
struct ChromiumResponseInfo
{
    QByteArray rawHead;     // status line and header lines, each ended by a NUL
    bool truncated = false; // the browser stored only part of the body

    static std::optional<ChromiumResponseInfo> parse(QByteArrayView stream0);
};
