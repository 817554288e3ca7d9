#pragma once

#include <QByteArrayView>
#include <QList>
#include <QString>

#include "engine/cache/StoredBody.h"
#include <optional>

// The "<16 hex>_s" file of a simple-cache entry fetched in byte ranges (media): a header and the key,
// then ranges until the end of the file, each a 32-byte range header followed by its data. Ranges are
// appended as they arrive, so they come in any order and may leave gaps.
class SimpleSparseFile
{
public:
    struct Range
    {
        qint64 resourceOffset = 0; // where the data belongs in the resource
        qint64 length = 0;
        qint64 fileOffset = 0; // where the data lies in this file
    };

    // The ranges of the file, or std::nullopt when it is not a sparse file of the entry keyed `key`.
    // A last range cut short (a crash while writing) is left out.
    static std::optional<SimpleSparseFile> read(const QString& path, QByteArrayView key);

    // Sorted by resourceOffset.
    const QList<Range>& ranges() const { return ranges_; }

    // True when the ranges hold every byte of a resource of `resourceLength` bytes, without gaps or overlaps.
    bool coversWhole(qint64 resourceLength) const;

    // The file as it was read, which every range lies in.
    StoredBody::FileStamp stamp() const { return stamp_; }

private:
    QList<Range> ranges_;
    StoredBody::FileStamp stamp_;
};
