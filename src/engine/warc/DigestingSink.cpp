#include "engine/warc/DigestingSink.h"

#include "engine/warc/Base32.h"

bool DigestingSink::write(QByteArrayView bytes)
{
    hash_.addData(bytes);
    count_ += bytes.size();
    return next_ == nullptr || next_->write(bytes);
}

QByteArray DigestingSink::labelledDigest() const
{
    return "sha1:" + Base32::encode(hash_.result());
}

QByteArray DigestingSink::labelledDigestOf(QByteArrayView bytes)
{
    return "sha1:" + Base32::encode(QCryptographicHash::hash(bytes, QCryptographicHash::Sha1));
}
