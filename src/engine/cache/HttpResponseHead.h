#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <optional>

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

    QString contentType() const { return field("content-type"); }
    QString contentEncoding() const { return field("content-encoding").trimmed().toLower(); }

private:
    int statusCode_ = 0;
    QList<QPair<QByteArray, QByteArray>> fields_;
};
