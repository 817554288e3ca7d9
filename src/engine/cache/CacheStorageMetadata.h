#pragma once

#include <QByteArray>
#include <QByteArrayView>

// What Chromium's CacheStorage (the caches service workers fill through the Cache API) keeps in stream 0
// of each entry instead of the HTTP cache's pickled response info: a CacheMetadata protocol buffer of the
// request (method, headers) and the response (status, status text, type, headers, response time, the URLs
// it was fetched through). Only what a reader of the body needs is decoded:
//   CacheMetadata  { 1: request, 2: response, 3: entry time }
//   response       { 1: status code, 2: status text, 3: type, 4: header {1: name, 2: value}, 6: response
//                    time, 8: URL (repeated; the last is where the response came from) }
struct CacheStorageMetadata
{
    // Why an entry's metadata is not offered. Ordered for counting; add at the end only.
    enum class Refusal
    {
        None,           // a usable response
        Malformed,      // the wire format is broken where the reader looked (a length past the end ...)
        NoResponse,     // no response message, or one without a status code
        NotSuccess,     // a status other than 2xx, or a 206 that holds only part of a resource
        ErrorType,      // a network error or an opaque redirect kept as such: no body to harvest
        TooManyHeaders, // more header fields than any real response carries
    };

    // Response types as Chromium numbers them.
    static constexpr quint64 kErrorType = 3;
    static constexpr quint64 kOpaqueRedirectType = 5;
    // Real responses carry a few dozen header fields; a cap keeps a hostile entry from making a head of
    // millions of empty ones.
    static constexpr int kMaxHeaders = 512;

    Refusal refusal = Refusal::None;
    int statusCode = 0;
    QByteArray statusText;
    quint64 responseType = 0;
    // The header fields as "name: value" lines each ended by a NUL, in stored order: gathered in one
    // buffer as they are read, since a walk reads one set per entry. A field whose name or value holds a
    // line break or NUL, which would forge fields of its own, is left out.
    QByteArray headerLines;
    int headerCount = 0;     // the fields in headerLines
    qint64 responseTime = 0; // Chromium's time (see ChromiumTime); 0 when not recorded
    QByteArray responseUrl;  // the last of the URL list; empty when none

    static CacheStorageMetadata parse(QByteArrayView stream0);

    // The status line and header fields as HttpResponseHead::parse takes them. CacheStorage keeps bodies
    // as the page saw them, with any content coding already undone, while the stored headers still name
    // the coding the server used: Content-Encoding and Content-Length are left out of headerLines, so that
    // the body is read as it lies.
    QByteArray rawHead() const;
};
