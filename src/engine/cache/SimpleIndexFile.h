#pragma once

#include <QDateTime>
#include <QHash>
#include <QString>

// index-dir/the-real-index of a simple-cache folder: the browser's table of when each entry was last used.
// It is often stale (written some seconds after changes, or only at start-up before a crash), so it is
// read only for times, never to decide which entries exist.
class SimpleIndexFile
{
public:
    // Last-used times (UTC, whole seconds) by entry hash, the 16 hex digits of an entry's file name.
    // Empty when the index is missing, damaged or of an unknown version.
    static QHash<quint64, QDateTime> lastUsedTimes(const QString& cacheFolder);

    // The same, decoded from the bytes of an index file.
    static QHash<quint64, QDateTime> parse(const QByteArray& bytes);
};
