#pragma once

#include <QByteArray>
#include <QString>

class QDateTime;

// A web archive packaged for replay tools (WACZ 1.1.1): a ZIP holding archive/data.warc.gz, the index
// indexes/index.cdxj, pages/pages.jsonl, and datapackage.json, which lists each of them with its size and
// SHA-256. The archive file and the index are stored uncompressed, so a reader can seek into them. The ZIP
// library writes a temporary file beside the package and renames it at the end: there is never half a
// package under its name.
class WaczPackage
{
public:
    struct Parts
    {
        QString warcFile;  // the finished web archive file
        QByteArray index;  // CdxjIndex::build
        QString pagesFile; // pages.jsonl, its header line first
        QByteArray software;
    };

    // Writes the package at `path`; the error in the user's words, empty when it was written.
    static QString write(const QString& path, const Parts& parts);

    // The header line of pages.jsonl.
    static QByteArray pagesHeader();
    // One line of pages.jsonl (JSON and a line feed): a page's address, time, title and visible text.
    static QByteArray pageLine(const QString& url, const QDateTime& time, const QString& title, const QString& text);
};
