// libFuzzer target for the blockfile-cache reader.
//
// An input is the cache's files one after another, separated by "#FILE#", in this order: index, data_0,
// data_1, data_2, data_3, f_000001, f_000002; missing ones are not written. A block file's 8192-byte
// header is mostly its allocation bitmap, which the reader does not use, so a block file is given as the
// first 80 bytes of its header followed by its blocks, and written out with the bitmap zero-filled between
// them; a shorter piece is written as it is. The seeds hold small hash tables and zero checksums (which
// the browser's format reads as "not computed"), so that mutations reach the records, keys, response info
// and bodies instead of stopping at a checksum. The folder is checked for being a blockfile cache, walked,
// each entry's body read and decoded, each URL looked up and removed.

#include "engine/cache/BlockfileCache.h"

#include "CacheFuzzing.h"

#include <QTemporaryDir>

#include <array>
#include <cstdint>

namespace
{

constexpr std::array fileNames = {"index", "data_0", "data_1", "data_2", "data_3", "f_000001", "f_000002"};
constexpr qsizetype blockFileHeaderKept = 80;
constexpr qsizetype blockFileHeaderSize = 8192;

QList<QByteArray> split(const QByteArray& data)
{
    static const QByteArray separator("#FILE#");
    QList<QByteArray> pieces;
    qsizetype start = 0;
    for (qsizetype at = data.indexOf(separator); at >= 0; at = data.indexOf(separator, start)) {
        pieces.append(data.mid(start, at - start));
        start = at + separator.size();
    }
    pieces.append(data.mid(start));
    return pieces;
}

QByteArray blockFileFrom(const QByteArray& piece)
{
    if (piece.size() <= blockFileHeaderKept)
        return piece;
    QByteArray file = piece.left(blockFileHeaderKept);
    file.append(QByteArray(blockFileHeaderSize - blockFileHeaderKept, '\0'));
    file.append(piece.mid(blockFileHeaderKept));
    return file;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    QTemporaryDir folder;
    if (!folder.isValid())
        return 0;
    const QList<QByteArray> pieces = split(QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)));
    for (qsizetype i = 0; i < pieces.size() && i < qsizetype(fileNames.size()); ++i) {
        const QString name = QString::fromLatin1(fileNames[size_t(i)]);
        CacheFuzzing::writeFile(folder.filePath(name),
                                name.startsWith(QLatin1String("data_")) ? blockFileFrom(pieces[i]) : pieces[i]);
    }

    BlockfileCache::recognises(folder.path());
    BlockfileCache cache(folder.path());
    QStringList urls;
    const std::unique_ptr<CacheEnumeration> enumeration = cache.enumerate();
    while (const std::optional<CacheEntry> entry = enumeration->next()) {
        CacheFuzzing::decodeBody(*entry);
        urls.append(entry->url);
    }
    for (const QString& url : urls) {
        if (const std::optional<CacheEntry> looked = cache.lookup(url)) {
            CacheFuzzing::decodeBody(*looked);
            cache.removeEntry(*looked);
        }
    }
    return 0;
}
