#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QString>
#include <optional>

// Serves byte ranges of one file to a parser. Cache files are small records around a body that mostly
// need not be read, so a small file is read whole and a large one has its first and last few KiB read
// once; a range outside those is read on demand. The file stays open only as long as this object.
class HeadTailFileReader
{
public:
    explicit HeadTailFileReader(const QString& path);

    bool isOpen() const { return file_.isOpen(); }
    qint64 size() const { return size_; }
    QDateTime modified() const { return modified_; } // UTC

    // Exactly `length` bytes at `offset`; std::nullopt when they are not all in the file.
    std::optional<QByteArray> read(qint64 offset, qint64 length);

    // The same, but only when the bytes were read already: for checks worth doing when they are free.
    std::optional<QByteArray> readIfInMemory(qint64 offset, qint64 length) const;

    // False when the file grew, shrank or was written since it was opened: what was read may mix two
    // versions of it.
    bool unchangedSinceOpen();

private:
    QFile file_;
    qint64 size_ = 0;
    QDateTime modified_;
    QByteArray head_; // the first bytes of the file, or all of it
    QByteArray tail_; // the last bytes of the file when head_ does not hold them
};
