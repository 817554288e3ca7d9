#pragma once

#include <QByteArray>
#include <QByteArrayView>

// RFC 4648 base32 (upper-case alphabet, "=" padding), the form web archives give SHA-1 digests in.
class Base32
{
public:
    static QByteArray encode(QByteArrayView bytes);
};
