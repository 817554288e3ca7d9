#include "engine/cache/SuperFastHash.h"

namespace
{

quint32 piece16(QByteArrayView data, qsizetype at)
{
    return quint32(quint8(data[at])) | (quint32(quint8(data[at + 1])) << 8);
}

quint32 signedByte(QByteArrayView data, qsizetype at)
{
    return quint32(qint32(qint8(data[at])));
}

} // namespace

quint32 SuperFastHash::of(QByteArrayView data)
{
    const qsizetype length = data.size();
    if (length == 0)
        return 0;
    // The reference folds the length into 32 bits; keys never come near that.
    quint32 hash = quint32(length);
    qsizetype at = 0;
    for (; at + 4 <= length; at += 4) {
        hash += piece16(data, at);
        const quint32 mixed = (piece16(data, at + 2) << 11) ^ hash;
        hash = (hash << 16) ^ mixed;
        hash += hash >> 11;
    }
    switch (length - at) {
    case 3:
        hash += piece16(data, at);
        hash ^= hash << 16;
        hash ^= signedByte(data, at + 2) << 18;
        hash += hash >> 11;
        break;
    case 2:
        hash += piece16(data, at);
        hash ^= hash << 11;
        hash += hash >> 17;
        break;
    case 1:
        hash += signedByte(data, at);
        hash ^= hash << 10;
        hash += hash >> 1;
        break;
    default:
        break;
    }
    hash ^= hash << 3;
    hash += hash >> 5;
    hash ^= hash << 4;
    hash += hash >> 17;
    hash ^= hash << 25;
    hash += hash >> 6;
    return hash;
}
