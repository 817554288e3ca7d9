#include "engine/cache/BlockfileAddress.h"

namespace
{

constexpr quint32 reservedBlockBits = 0x0c000000u;

} // namespace

bool BlockfileAddress::isValid() const
{
    if (!isInitialized())
        return false;
    switch (fileType()) {
    case FileType::External:
        return true;
    case FileType::Rankings:
    case FileType::Block256:
    case FileType::Block1K:
    case FileType::Block4K:
        return (value_ & reservedBlockBits) == 0;
    }
    // Types 5 to 7 belong to a layout the browsers never shipped.
    return false;
}

qint64 BlockfileAddress::blockSizeOf(FileType type)
{
    switch (type) {
    case FileType::Rankings:
        return 36;
    case FileType::Block256:
        return 256;
    case FileType::Block1K:
        return 1024;
    case FileType::Block4K:
        return 4096;
    case FileType::External:
        break;
    }
    return 0;
}

qint64 BlockfileAddress::blockSize() const
{
    return blockSizeOf(fileType());
}

QString BlockfileAddress::fileName() const
{
    if (isExternal())
        return QStringLiteral("f_%1").arg(externalFileNumber(), 6, 16, QLatin1Char('0'));
    return QStringLiteral("data_%1").arg(blockFileNumber());
}
