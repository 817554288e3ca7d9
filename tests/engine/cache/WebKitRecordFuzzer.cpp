#include "CacheFuzzing.h"
#include "WebKitRecordEditor.h"
#include "engine/cache/WebKitCache.h"
#include "engine/cache/WebKitRecord.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtEndian>
#include <cstddef>
#include <cstdint>

// Each input is one record file of a WebKit network cache. It is parsed as it is, which mostly meets the hash
// checks at the door, and failing that with its hashes put right against the cache's salt, as the browser
// would have written it, so that the damage reaches the response parser. A record that parses is then put in a
// cache folder, named after its own key hashes, with a blob of the size it gives (within a cap) beside it, and
// that cache is walked, looked up in, read and deleted from.

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

// Whether the record parses in memory under its own key hashes; then (and only then) a cache holding it has
// something to offer, so only then is it written out, which costs far more than parsing.
bool parses(const QByteArray& record)
{
    const QByteArray fileName = WebKitRecordEditor::fileNameOf(record).toLatin1();
    const QByteArray folderName = WebKitRecordEditor::folderNameOf(record).toLatin1();
    const std::variant<WebKitRecord, WebKitRecord::Refusal> parsed =
        WebKitRecord::parse(record, kSalt, fileName, folderName);
    if (const WebKitRecord* usable = std::get_if<WebKitRecord>(&parsed)) {
        (void)usable->unusable();
        return true;
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const QTemporaryDir temporary;
    const QString cacheFolder = temporary.path() + QStringLiteral("/WebKitCache");
    QByteArray record(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));

    if (parses(record) || (WebKitRecordEditor::reseal(record, kSalt) && parses(record))) {
        writeCache(cacheFolder, WebKitRecordEditor::folderNameOf(record), WebKitRecordEditor::fileNameOf(record),
                   record);
        useCache(cacheFolder);
    }
    return 0;
}
