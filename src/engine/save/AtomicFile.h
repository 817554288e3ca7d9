#pragma once

#include <QByteArray>
#include <QString>

// Writes a file whole or not at all: under a temporary name in the destination's folder, renamed over
// the destination once complete. A failure leaves the folder as it was, and a reader never sees half a
// file. An existing destination is replaced.
//
// The data is not forced to the disk: a harvest writes thousands of files, and a sync for each made it
// many times slower than copying them. ext4 writes a file renamed over another before the rename.
class AtomicFile
{
public:
    static bool write(const QString& destination, const QByteArray& content);
    static bool copy(const QString& source, const QString& destination);
};
