#pragma once

#include <QByteArrayView>
#include <QtGlobal>

// One live "URL " record of an index.dat file, its offsets already checked against the record.
// The views point into the bytes of the IndexDatFile that produced it and live as long as that does.
struct IndexDatUrlRecord
{
    qint64 slotOffset = 0;    // the hash slot that leads to it
    qint64 offset = 0;        // of the record in the file
    qint64 blocks = 0;        // blocks the record occupies
    QByteArrayView url;       // the bytes the application cached it under: no NUL, never empty
    QByteArrayView localName; // the file in the cache folder, as stored; empty when it has none
    quint8 cacheFolder = 0;   // index into the header's folders, or IndexDatFormat::containerFolder
    qint64 size = 0;          // bytes of the local file
    quint64 lastAccess = 0;   // FILETIME, UTC; 0 when unknown
    quint32 entryType = 0;    // IndexDatFormat's entry flags
    quint32 useCount = 0;     // not 0 while a program holds the local file
    QByteArrayView head;      // the stored response head; may be empty
};
