#include "engine/warc/DigestingSink.h"

#include "engine/warc/Base32.h"

#include <openssl/evp.h>

namespace
{

// Fetched once for the program: fetching costs more than hashing a small body.
const EVP_MD* sha1Algorithm()
{
    static EVP_MD* const algorithm = EVP_MD_fetch(nullptr, "SHA1", nullptr);
    return algorithm;
}

} // namespace

void DigestingSink::ContextDeleter::operator()(evp_md_ctx_st* context) const
{
    EVP_MD_CTX_free(context);
}

DigestingSink::DigestingSink(ByteSink* next) : next_(next)
{
    if (sha1Algorithm() == nullptr)
        return;
    context_.reset(EVP_MD_CTX_new());
    if (context_ && EVP_DigestInit_ex2(context_.get(), sha1Algorithm(), nullptr) != 1)
        context_.reset();
}

DigestingSink::~DigestingSink() = default;

bool DigestingSink::write(QByteArrayView bytes)
{
    if (context_)
        EVP_DigestUpdate(context_.get(), bytes.data(), std::size_t(bytes.size()));
    else
        fallback_.addData(bytes);
    count_ += bytes.size();
    return next_ == nullptr || next_->write(bytes);
}

QByteArray DigestingSink::labelledDigest()
{
    QByteArray digest;
    if (context_) {
        unsigned char out[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        if (EVP_DigestFinal_ex(context_.get(), out, &length) == 1)
            digest = QByteArray(reinterpret_cast<const char*>(out), qsizetype(length));
    } else {
        digest = fallback_.result();
    }
    return "sha1:" + Base32::encode(digest);
}

QByteArray DigestingSink::labelledDigestOf(QByteArrayView bytes)
{
    DigestingSink sink;
    sink.write(bytes);
    return sink.labelledDigest();
}
