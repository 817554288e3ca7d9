#include "CacheFuzzing.h"
#include "WebKitRecordEditor.h"
#include "engine/cache/WebKitCache.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtEndian>
#include <cstddef>
#include <cstdint>

// Each input is one record file of a WebKit network cache. It is tried twice: as it is, named as the seeds'
// picture was, which mostly meets the hash checks at the door; and with its hashes put right against the
// cache's salt and named after its own key hashes, as the browser would have written it, so that the damage
// reaches the response parser and what follows it. A blob of the size the record gives (within a cap) sits
// beside it, so that records whose body is in a blob are read through as well.

namespace
{

// The salt of the seeds' cache (tests/data/caches/webkit), so that their hashes hold as they are.
const QByteArray kSalt = QByteArray::fromHex("fe752e9359d385af");
const QString kVersion = QStringLiteral("/Version 17");
// Blobs longer than this are not written; the record is then refused for its blob's size.
constexpr qint64 kMaxBlob = 1 << 20;

void useCache(const QString& cacheFolder)
{
    WebKitCache cache(cacheFolder);
    CacheFuzzing::useEveryEntry(cache);
    const std::unique_ptr<CacheEnumeration> all = cache.enumerateAll();
    while (all->next()) {
    }
}

void writeCache(const QString& cacheFolder, const QString& folderName, const QString& fileName,
                const QByteArray& record)
{
    QDir(cacheFolder).removeRecursively();
    const QString resource =
        cacheFolder + kVersion + QStringLiteral("/Records/") + folderName + QStringLiteral("/Resource");
    QDir().mkpath(resource);
    CacheFuzzing::writeFile(cacheFolder + kVersion + QStringLiteral("/salt"), kSalt);
    CacheFuzzing::writeFile(resource + u'/' + fileName, record);
    if (const std::optional<WebKitRecordEditor::Layout> layout = WebKitRecordEditor::layoutOf(record)) {
        const quint64 bodySize = qFromLittleEndian<quint64>(record.constData() + layout->bodySize);
        if (!record[layout->bodyInline] && bodySize <= quint64(kMaxBlob))
            CacheFuzzing::writeFile(resource + u'/' + fileName + QStringLiteral("-blob"),
                                    QByteArray(qsizetype(bodySize), 'b'));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const QTemporaryDir temporary;
    const QString cacheFolder = temporary.path() + QStringLiteral("/WebKitCache");
    QByteArray record(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));

    writeCache(cacheFolder, QStringLiteral("53CD5E770188BA3379189B3B437210E1C590232D"),
               QStringLiteral("531DC422DB3D35E8F6B768C3D6B541EF4B0291C1"), record);
    useCache(cacheFolder);

    if (WebKitRecordEditor::reseal(record, kSalt)) {
        writeCache(cacheFolder, WebKitRecordEditor::folderNameOf(record), WebKitRecordEditor::fileNameOf(record),
                   record);
        useCache(cacheFolder);
    }
    return 0;
}
