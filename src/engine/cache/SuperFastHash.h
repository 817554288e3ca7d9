#pragma once

#include <QByteArrayView>

// Paul Hsieh's 32-bit SuperFastHash as Chromium's disk caches compute it over entry keys (tail bytes
// taken as signed chars, as Chromium's build does), so a stored key can be checked against its hash.
class SuperFastHash
{
public:
    static quint32 of(QByteArrayView data);
};
