#pragma once

#include "engine/warc/WarcWriter.h"

#include <QByteArray>
#include <QString>
#include <vector>

// The index of a web archive file as replay tools read it (CDXJ): one line per record, "<SURT key>
// <14-digit time> <JSON>", sorted, the JSON giving the record's URL, type, status, digest and where its
// gzip member lies in the file.
class CdxjIndex
{
public:
    static QByteArray build(const std::vector<WarcWriter::Capture>& captures, const QByteArray& fileName);

    // The sort-friendly form of a URL: "http://www.Example.com:8080/a?b=1&a=2" is
    // "com,example:8080)/a?a=2&b=1" (lower case, host parts reversed, "www" left out, query sorted).
    static QByteArray surtOf(const QString& url);
    // The time as 14 digits, yyyyMMddHHmmss, UTC.
    static QByteArray timestampOf(const QDateTime& time);
};
