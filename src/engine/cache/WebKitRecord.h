#pragma once

#include "engine/cache/KeyDigest.h"

#include <QByteArrayView>
#include <QString>
#include <variant>

// One record file of a WebKit network cache (GNOME Web and other WebKitGTK programs), as far as its own
// layout goes. The file is
//
//   WebKitCache/Version 17/Records/<partition hash>/<type>/<key hash>
//
// and holds, every number little-endian, every hash a SHA-1:
//
//   u32     storage version (17)
//   key     partition, type ("Resource"), identifier (the URL), range: four strings; the key hash and the
//           partition hash (20 bytes each), which name the record file and its partition folder
//   f64     time stamp: when the response was stored, seconds since 1970
//   20      header hash: SHA-1 of the salt then the header
//   u64     header size
//   20      body hash: SHA-1 of the salt then the body
//   u64     body size
//   u8      1 when the body follows the header in this file, 0 when it is in "<key hash>-blob" beside it
//   20      checksum of the fields above
//   header  `header size` bytes: the response (below)
//   body    `body size` bytes, when inline
//
// A string is a u32 length (all ones for no string), a u8 that is 1 for 8-bit (Latin-1) characters and 0
// for UTF-16 code units, then the characters. The header begins with the response: a u8 flag, the URL,
// the MIME type, an i64 expected length, the text encoding, the status text and the HTTP version (strings),
// a u64 count of header fields, each a name and a value string, then the u16 status code; what follows
// (the request headers it varies on, redirect, age cap) is not needed here.
//
// The salt is the 8 bytes of "salt" in the version folder. The body is stored after the network library
// undid its Content-Encoding, so it is the resource as the page got it, whatever the header fields say.
class WebKitRecord
{
public:
    // The layout above. A record of another version is refused rather than misread.
    static constexpr quint32 kVersion = 17;
    // A record file's largest size: the browser keeps a body in its record only up to a memory page (at
    // most 64 KiB), and a response's header fields come to a few KiB. Anything larger is not read.
    static constexpr qint64 kMaxFileSize = 1024 * 1024;
    // Header fields of one response; real ones have a few dozen.
    static constexpr quint64 kMaxHeaderFields = 1000;
    static constexpr qsizetype kSaltSize = 8;

    // Why a record is not offered, in the order the checks are made.
    enum class Refusal
    {
        None,
        Unreadable,          // the file could not be opened or read (vanished, no permission)
        NotRegularFile,      // a FIFO, device or folder where a record file should be
        TooLarge,            // larger than kMaxFileSize
        NoSalt,              // the version folder's salt is missing or of the wrong size: no hash can be checked
        Truncated,           // a field runs past the end of the file
        UnknownVersion,      // not a kVersion record
        NotResource,         // a record of another type (the sub-resources a page loaded, for preloading)
        Misplaced,           // its key hashes do not name its file and folder
        HeaderHashMismatch,  // the header is not the one the record was written with
        BadResponse,         // the header does not hold a response
        TooManyHeaderFields, // more than kMaxHeaderFields
        InlineSizeMismatch,  // an inline body that does not fill the rest of the file exactly
        BlobMissing,         // the body's "-blob" file is not there
        BlobNotRegularFile,  // something other than a regular file in its place
        BlobSizeMismatch,    // the blob is not as long as the record says
        NotHttp,             // a key that is not an http or https URL
        NotSuccessful,       // a status other than 2xx (redirects are kept too)
        PartialContent,      // a 206: a range, not the resource
        IncompleteBody,      // fewer or more bytes than the response's Content-Length announced
    };
    static constexpr int kRefusalKinds = int(Refusal::IncompleteBody) + 1;
    static const char* nameOf(Refusal refusal);

    // Parses the whole record file `bytes`, checking its header hash against `salt`, and that its key hashes
    // are `fileName` and `folderName` (upper-case hex, as the browser names them; compared without regard to
    // case). The body hash is left to whoever reads the body: a walk need not read every body whole.
    static std::variant<WebKitRecord, Refusal> parse(QByteArrayView bytes, QByteArrayView salt, QByteArrayView fileName,
                                                     QByteArrayView folderName);

    // Refusal::None when the record holds a whole 2xx HTTP response; else why not. A blob's length is the
    // caller's to check.
    Refusal unusable() const;

    const QString& url() const { return url_; }
    double timeStamp() const { return timeStamp_; }
    int statusCode() const { return statusCode_; }
    const QString& contentType() const { return contentType_; }
    // The Content-Encoding the server sent, lower case: not the coding of the stored body (see above).
    const QString& sentContentEncoding() const { return contentEncoding_; }
    // The response's status line and header fields, each line ended by CR LF, made to describe the body as
    // stored: the coding and length the server sent give way to `storedEncoding` (empty for none) and the
    // stored size, and hop-by-hop framing goes.
    QByteArray responseHeadFor(const QString& storedEncoding) const;

    bool isBodyInline() const { return bodyInline_; }
    quint64 bodySize() const { return bodySize_; }
    // Where an inline body starts in the file; 0 for a blob.
    qint64 bodyOffset() const { return bodyOffset_; }
    // SHA-1 of the salt followed by the body, inline or in the blob.
    const KeyDigest::Sha1& bodyHash() const { return bodyHash_; }

private:
    WebKitRecord() = default;

    QString url_;
    double timeStamp_ = 0;
    int statusCode_ = 0;
    QString contentType_;
    QString contentEncoding_;
    QString contentLength_;
    QByteArray statusLine_;  // without its line end
    QByteArray headerLines_; // every field but those responseHeadFor writes anew, each line ended by CR LF
    bool bodyInline_ = false;
    quint64 bodySize_ = 0;
    qint64 bodyOffset_ = 0;
    KeyDigest::Sha1 bodyHash_{};
};
