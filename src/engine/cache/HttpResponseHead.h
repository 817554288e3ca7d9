#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>
#include <optional>
#include <vector>

// The status line and header fields of a cached HTTP response.
class HttpResponseHead
{
public:
    // Parses "HTTP/1.1 200 OK" followed by "Name: value" lines. Lines may end in CR LF, LF or NUL
    // (Chromium keeps them NUL-separated). Returns std::nullopt when there is no valid status line.
    static std::optional<HttpResponseHead> parse(const QByteArray& raw);

    int statusCode() const { return statusCode_; }

    // The first field of that name, compared without regard to case; empty when absent.
    QString field(const QByteArray& name) const;

    QString contentType() const;     // field("content-type")
    QString contentEncoding() const; // field("content-encoding"), trimmed and in lower case

private:
    // Where a field lies in raw_: kept as offsets rather than copies, since a walk parses one head per
    // entry and reads only a few of its fields. A folded value is joined into foldedValues_ instead.
    struct Field
    {
        qsizetype nameStart = 0;
        qsizetype nameLength = 0;
        qsizetype valueStart = 0;
        qsizetype valueLength = 0;
        qsizetype foldedIndex = -1; // into foldedValues_, for a value continued on further lines
    };

    QByteArrayView nameOf(const Field& field) const;
    QByteArrayView valueOf(const Field& field) const;

    QByteArray raw_; // shared with the caller's buffer, never modified
    int statusCode_ = 0;
    std::vector<Field> fields_;
    QList<QByteArray> foldedValues_;
    qsizetype contentTypeIndex_ = -1; // into fields_: the first Content-Type
    qsizetype contentEncodingIndex_ = -1;
};
