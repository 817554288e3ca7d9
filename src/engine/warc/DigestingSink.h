#pragma once

#include "engine/cache/ByteSink.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <memory>

struct evp_md_ctx_st;

// Passes bytes on to another sink (or nowhere), taking their SHA-1 and counting them on the way: how a
// record's digest is had while its body streams, without holding the body. The SHA-1 comes from libcrypto,
// which uses the processor's SHA instructions (several times Qt's own speed, and a record takes two digests
// of its body), else from Qt.
class DigestingSink final : public ByteSink
{
public:
    explicit DigestingSink(ByteSink* next = nullptr);
    ~DigestingSink() override;
    DigestingSink(const DigestingSink&) = delete;
    DigestingSink& operator=(const DigestingSink&) = delete;

    bool write(QByteArrayView bytes) override;

    qint64 count() const { return count_; }
    // "sha1:" and the base32 SHA-1 of what passed, as web archives label a digest. Once, after the last write.
    QByteArray labelledDigest();
    // The same label for `bytes` at once.
    static QByteArray labelledDigestOf(QByteArrayView bytes);

private:
    struct ContextDeleter
    {
        void operator()(evp_md_ctx_st* context) const;
    };

    ByteSink* const next_;
    std::unique_ptr<evp_md_ctx_st, ContextDeleter> context_; // null where libcrypto failed
    QCryptographicHash fallback_{QCryptographicHash::Sha1};
    qint64 count_ = 0;
};
