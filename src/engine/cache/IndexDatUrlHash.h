#pragma once

#include <QByteArrayView>
#include <QtGlobal>

// The hash by which index.dat places a URL in its hash tables: four lanes of a byte permutation
// hash (the one the platform's shell uses for URL hashes), read as a little-endian u32. The low 6 bits
// choose the bucket, the upper 26 are stored in the slot's key.
class IndexDatUrlHash
{
public:
    // Every byte counts, the trailing '/' of "http://host/dir/" included, as in the files Wine writes.
    static quint32 of(QByteArrayView url);
};
