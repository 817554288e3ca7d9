#pragma once

#include "engine/cache/ByteSink.h"

#include <QByteArray>
#include <QCryptographicHash>

// Passes bytes on to another sink (or nowhere), taking their SHA-1 and counting them on the way: how a
// record's digest is had while its body streams, without holding the body.
class DigestingSink final : public ByteSink
{
public:
    explicit DigestingSink(ByteSink* next = nullptr) : next_(next) {}

    bool write(QByteArrayView bytes) override;

    qint64 count() const { return count_; }
    // "sha1:" and the base32 SHA-1 of what passed, as web archives label a digest.
    QByteArray labelledDigest() const;
    // The same label for `bytes` at once.
    static QByteArray labelledDigestOf(QByteArrayView bytes);

private:
    ByteSink* const next_;
    QCryptographicHash hash_{QCryptographicHash::Sha1};
    qint64 count_ = 0;
};
