#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <optional>

class LittleEndianReader;

// The HTTP response info that Chromium keeps in stream 0 of a cache entry: a pickle (32-bit payload
// length, then 4-byte aligned little-endian fields) holding flags, request and response times and the
// raw response head, then TLS details, vary data and the server's address. Only what a reader of the
// body, or a record of the exchange, needs is decoded.
struct ChromiumResponseInfo
{
    QByteArray rawHead;      // status line and header lines, each ended by a NUL
    bool truncated = false;  // the browser stored only part of the body
    qint64 responseTime = 0; // µs since 1601 (ChromiumTime): when the headers arrived
    // The server's IP address as text ("127.0.0.1", "::1"); empty where the pickle holds fields this
    // does not read before it (signed certificate timestamps), or none.
    QByteArray serverAddress;

    static std::optional<ChromiumResponseInfo> parse(QByteArrayView stream0);

    // Longer "addresses" are not addresses: the longest IPv6 text is 45 characters.
    static constexpr quint32 kMaxAddressLength = 64;
    // Certificates a chain may list before the reader gives up on the address behind them.
    static constexpr quint32 kMaxCertificates = 64;

private:
    // The address after the head, which ends at `position` of `payload`; empty where it cannot be read.
    static QByteArray serverAddressAt(const LittleEndianReader& payload, qint64 position, quint32 flags);
};
