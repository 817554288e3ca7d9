#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

// Finds the fields of a WebKit cache record and puts its hashes right after a change, as the browser
// would have written the changed record: for tests that damage one field and for the fuzzer, so that the
// damage reaches the checks behind the hashes.
class WebKitRecordEditor
{
public:
    // Where the fields after the key lie in a record (see WebKitRecord); offsets into its bytes.
    struct Layout
    {
        qint64 keyHash = 0;
        qint64 partitionHash = 0;
        qint64 timeStamp = 0;
        qint64 headerHash = 0;
        qint64 headerSize = 0;
        qint64 bodyHash = 0;
        qint64 bodySize = 0;
        qint64 bodyInline = 0;
        qint64 header = 0; // the first byte of the header, after the checksum
    };

    // std::nullopt when the key's strings run past the end.
    static std::optional<Layout> layoutOf(const QByteArray& record);

    // Writes the header hash and, for an inline body, the body hash of `record` as `salt` gives them (the
    // header and body being what the sizes say, cut at the end of the record). False without a layout.
    static bool reseal(QByteArray& record, const QByteArray& salt);

    // The record's key hash and partition hash in upper-case hex, the names of its file and folder.
    static QString fileNameOf(const QByteArray& record);
    static QString folderNameOf(const QByteArray& record);
};
