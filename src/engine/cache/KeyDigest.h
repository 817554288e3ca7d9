#pragma once

#include <QByteArrayView>

#include <array>

// SHA-1 and SHA-256 of cache keys. Caches name and check their entries by these digests, so a walk takes
// one or two per entry; they come from libcrypto, which uses the processor's SHA instructions, with one
// reusable context per thread instead of a fresh one for each key.
class KeyDigest
{
public:
    using Sha1 = std::array<unsigned char, 20>;
    using Sha256 = std::array<unsigned char, 32>;

    static Sha1 sha1(QByteArrayView bytes);
    // The SHA-1 of `prefix` followed by `bytes`, without joining them: a salt and what it salts, say.
    static Sha1 sha1(QByteArrayView prefix, QByteArrayView bytes);
    static Sha256 sha256(QByteArrayView bytes);
};
