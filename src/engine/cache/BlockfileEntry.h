#pragma once

#include "engine/cache/BlockfileAddress.h"

#include <QByteArray>
#include <QByteArrayView>
#include <array>
#include <optional>

// One entry record ("EntryStore") of a Chromium blockfile cache: 1 to 4 blocks of 256 bytes in a block
// file, holding the key's hash, the next entry of its hash bucket, its rankings node, the sizes and
// addresses of its four streams and its key, inline after the 96-byte head when it fits, else in a block
// or file of its own. Stream 0 is the response info, stream 1 the body, stream 2 sparse bookkeeping.
class BlockfileEntry
{
public:
    static constexpr qint64 blockSize = 256;
    static constexpr int streamCount = 4;
    static constexpr quint32 sparseParentFlag = 1; // a range-fetched resource; its bytes are in child entries
    static constexpr quint32 sparseChildFlag = 2;  // one 1 MiB window of such a resource

    // The record in `record` (all of its blocks); std::nullopt when it is too short or its own checksum,
    // where the browser wrote one, does not match. Nothing else is judged here: an entry in another state
    // still links its bucket's chain on.
    static std::optional<BlockfileEntry> parse(QByteArrayView record);

    quint32 keyHash() const { return keyHash_; }
    BlockfileAddress next() const { return next_; }
    BlockfileAddress rankingsNode() const { return rankingsNode_; }
    bool isNormal() const { return state_ == 0; }         // neither evicted nor doomed
    qint64 creationTime() const { return creationTime_; } // microseconds since 1601
    qint64 keyLength() const { return keyLength_; }       // may be negative in a damaged record
    BlockfileAddress longKey() const { return longKey_; } // 0 when the key is inline
    // The key when it is stored inside the record; std::nullopt when it is stored apart or does not fit.
    std::optional<QByteArray> inlineKey() const { return inlineKey_; }
    qint64 streamSize(int stream) const { return streamSizes_[size_t(stream)]; } // may be negative
    BlockfileAddress streamAddress(int stream) const { return streamAddresses_[size_t(stream)]; }
    quint32 flags() const { return flags_; }

private:
    BlockfileEntry() = default;

    quint32 keyHash_ = 0;
    BlockfileAddress next_;
    BlockfileAddress rankingsNode_;
    quint32 state_ = 0;
    qint64 creationTime_ = 0;
    qint64 keyLength_ = 0;
    BlockfileAddress longKey_;
    std::optional<QByteArray> inlineKey_;
    std::array<qint64, streamCount> streamSizes_{};
    std::array<BlockfileAddress, streamCount> streamAddresses_{};
    quint32 flags_ = 0;
};
