#pragma once

#include "engine/cache/BlockfileAddress.h"

#include <QByteArrayView>
#include <optional>

// The 36-byte rankings node of a blockfile cache entry (in data_0): its place in the eviction lists, the
// time the browser last used the entry and a back link to the entry record.
class BlockfileRankingsNode
{
public:
    static constexpr qint64 size = 36;

    // std::nullopt when `node` is short or its checksum, where the browser wrote one, does not match.
    static std::optional<BlockfileRankingsNode> parse(QByteArrayView node);

    qint64 lastUsed() const { return lastUsed_; } // microseconds since 1601
    BlockfileAddress entry() const { return entry_; }
    // Set while the browser has the entry open; left set by a crash, after which the entry is not trusted.
    bool isDirty() const { return dirty_ != 0; }

private:
    BlockfileRankingsNode() = default;

    qint64 lastUsed_ = 0;
    BlockfileAddress entry_;
    quint32 dirty_ = 0;
};
