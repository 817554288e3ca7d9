#include "engine/cache/KeyDigest.h"

#include <QCryptographicHash>
#include <algorithm>
#include <memory>
#include <openssl/evp.h>

namespace
{

struct MdDeleter
{
    void operator()(EVP_MD* md) const { EVP_MD_free(md); }
};

struct MdContextDeleter
{
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

// One fetched algorithm and one context per thread: fetching or allocating them costs more than hashing
// a URL.
class ThreadDigester
{
public:
    explicit ThreadDigester(const char* algorithm)
        : md_(EVP_MD_fetch(nullptr, algorithm, nullptr)), context_(EVP_MD_CTX_new())
    {}

    // False when libcrypto failed; the caller falls back to Qt's own implementation.
    template <std::size_t N>
    bool digest(QByteArrayView prefix, QByteArrayView bytes, std::array<unsigned char, N>& out)
    {
        unsigned int length = 0;
        return md_ && context_ && EVP_DigestInit_ex2(context_.get(), md_.get(), nullptr) == 1 &&
               EVP_DigestUpdate(context_.get(), prefix.data(), std::size_t(prefix.size())) == 1 &&
               EVP_DigestUpdate(context_.get(), bytes.data(), std::size_t(bytes.size())) == 1 &&
               EVP_DigestFinal_ex(context_.get(), out.data(), &length) == 1 && length == N;
    }

private:
    std::unique_ptr<EVP_MD, MdDeleter> md_;
    std::unique_ptr<EVP_MD_CTX, MdContextDeleter> context_;
};

template <std::size_t N>
std::array<unsigned char, N> digestOf(ThreadDigester& digester, QByteArrayView prefix, QByteArrayView bytes,
                                      QCryptographicHash::Algorithm fallback)
{
    std::array<unsigned char, N> out{};
    if (!digester.digest(prefix, bytes, out)) {
        QCryptographicHash hash(fallback);
        hash.addData(prefix);
        hash.addData(bytes);
        const QByteArray qtDigest = hash.result();
        std::copy_n(qtDigest.constData(), std::min<qsizetype>(qtDigest.size(), N), out.begin());
    }
    return out;
}

} // namespace

KeyDigest::Sha1 KeyDigest::sha1(QByteArrayView bytes)
{
    return sha1(QByteArrayView(), bytes);
}

KeyDigest::Sha1 KeyDigest::sha1(QByteArrayView prefix, QByteArrayView bytes)
{
    thread_local ThreadDigester digester("SHA1");
    return digestOf<20>(digester, prefix, bytes, QCryptographicHash::Sha1);
}

KeyDigest::Sha256 KeyDigest::sha256(QByteArrayView bytes)
{
    thread_local ThreadDigester digester("SHA256");
    return digestOf<32>(digester, QByteArrayView(), bytes, QCryptographicHash::Sha256);
}
