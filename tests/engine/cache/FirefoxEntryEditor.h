#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <array>
#include <optional>

// Takes an entry file of Firefox's cache2 apart and puts it back together, so that tests and the fuzzer can
// make entries damaged in one chosen way that still pass the checks in front of that damage (the metadata
// hash, the file name derived from the key).
class FirefoxEntryEditor
{
public:
    enum HeaderField
    {
        Version,
        FetchCount,
        LastFetched,
        LastModified,
        Frecency,
        Expiration,
        KeySize,
        Flags,
    };

    // Splits an entry file in the current layout as the browser writes it; std::nullopt if it is not one.
    static std::optional<FirefoxEntryEditor> fromFile(const QByteArray& file);

    // Recomputes, in place, the metadata hash of a whole entry file from the data size its trailer names.
    // Any bytes are accepted; nothing happens when the trailer points nowhere sensible.
    static void resealMetadata(QByteArray& file);

    QByteArray data; // the body, then any alternative data
    std::array<quint32, 8> header = {};
    QByteArray key;
    QList<QPair<QByteArray, QByteArray>> elements;

    void setKey(const QByteArray& newKey);
    void setElement(const QByteArray& name, const QByteArray& value);
    void removeElement(const QByteArray& name);

    // The file the browser would write: data, then a metadata block with fresh hashes, then the trailer.
    // The header is written as it is, key size included, so that a test can make it lie. A version 1
    // header is written without its flags field, and versions 1 to 3 get the older 4-byte trailer.
    QByteArray toFile() const;

    // What the browser names a file holding this key: the upper-case hex SHA-1 of the key.
    QString fileName() const { return fileNameFor(key); }
    static QString fileNameFor(const QByteArray& key);
};
