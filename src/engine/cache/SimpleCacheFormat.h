#pragma once

#include <QtGlobal>

// Fixed values of Chromium's simple-cache files, shared by the readers of its entry, sparse and index files.
struct SimpleCacheFormat
{
    static constexpr quint64 initialMagic = 0xfcfb6d1ba7725c30ull; // starts entry and sparse files
    static constexpr quint64 finalMagic = 0xf4fa6f45970d41d8ull;   // starts each end-of-stream record
    static constexpr quint64 rangeMagic = 0xeb97bf016553676bull;   // starts each range of a sparse file
    static constexpr quint32 entryVersion = 5;
    static constexpr quint32 sparseVersion = 9;
    static constexpr qint64 headerSize = 24; // magic, version, key length, key hash, padding
    static constexpr qint64 endRecordSize = 24;
    static constexpr qint64 rangeHeaderSize = 32;
};
