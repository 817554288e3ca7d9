// libFuzzer target for the index.dat reader.
//
// An input is an index.dat file (the seeds are the test caches' own). It is written into a cache folder
// that holds the local files of the small test cache, so that mutations of the records still reach
// entries with files; the folder is walked, every entry's body read and every URL looked up. Deletion is
// exercised in memory: each live record is taken out of a copy of the file, and the writes that would
// go to the disk are checked to stay inside the file and to leave the entry unreachable. (Deleting on
// disk syncs the file, which would slow the fuzzer a hundredfold; the unit tests cover that part.)

#include "engine/cache/IndexDatCache.h"
#include "engine/cache/IndexDatFile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>

namespace
{

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(bytes);
}

// The cache folder, made once: the four folders and local files of the small test cache.
const QTemporaryDir& cacheFolder()
{
    static const QTemporaryDir folder;
    static const bool filled = [] {
        const struct
        {
            QString file;
            qsizetype size;
        } localFiles[] = {
            {"N1KXDMLD/big[0].bin", 5000},
            {"N1KXDMLD/style[0]", 1902},
            {"N1KXDMLD/2V1YDMLD.htm", 18},
            {"JT6KA3PR/photo[0]..jpg", 41512},
            {"JT6KA3PR/gbk[0].html", 67},
            {"JT6KA3PR/logo[0]..gif", 487},
            {"JT6KA3PR/style[0]..css_via=urlmon", 1902},
            {"JT6KA3PR/a[0].js", 8},
            {"VHCNKPCJ/readme[0].txt", 5},
            {"VHCNKPCJ/gbk[0]", 268},
            {"VHCNKPCJ/UPPER[0].css", 3},
            {"VHCNKPCJ/" + QString(173, '0') + "[0].png", 3},
            {"R9YAG6GY/dot[0].gif", 42},
        };
        for (const auto& local : localFiles) {
            QDir(folder.path()).mkpath(local.file.section('/', 0, 0));
            writeFile(folder.filePath(local.file), QByteArray(local.size, 'x'));
        }
        return true;
    }();
    Q_UNUSED(filled);
    return folder;
}

void readBody(const CacheEntry& entry, const QString& folder)
{
    if (!entry.body.file.startsWith(folder + QLatin1Char('/')) || !entry.body.file.endsWith(u'/' + entry.localName) ||
        entry.body.offset != 0 || entry.body.length != entry.size || entry.size < 0)
        abort();
    QFile file(entry.body.file);
    if (file.open(QIODevice::ReadOnly) && file.readAll().size() != entry.size)
        abort();
}

void walkAndLookUp(const QString& folder)
{
    IndexDatCache::recognises(folder);
    IndexDatCache cache(folder);
    QStringList urls;
    const std::unique_ptr<CacheEnumeration> walk = cache.enumerate();
    while (const std::optional<CacheEntry> entry = walk->next()) {
        readBody(*entry, folder);
        urls.append(entry->url);
    }
    urls << QStringLiteral("http://example.test/img/dot.gif") << QStringLiteral("http://example.test/dir/");
    for (const QString& url : urls) {
        if (const std::optional<CacheEntry> entry = cache.lookup(url)) {
            if (entry->url != url)
                abort();
            readBody(*entry, folder);
        }
    }
}

void removeEveryEntryInMemory(const QByteArray& bytes)
{
    const std::optional<IndexDatFile> original = IndexDatFile::parse(bytes);
    if (!original)
        return;
    IndexDatFile file = *original;
    for (const IndexDatFile::HashTable& table : original->hashTables()) {
        for (qint64 slot = 0; slot < table.slotCount; ++slot) {
            const qint64 slotOffset = IndexDatFile::slotOffset(table, slot);
            const std::optional<IndexDatUrlRecord> record = file.urlRecordAt(slotOffset);
            if (!record)
                continue;
            if (file.slotsHolding(record->url.toByteArray()).isEmpty())
                abort();
            for (const IndexDatFile::Edit& edit : file.removeEntry(slotOffset)) {
                if (edit.offset < 0 || edit.offset + edit.bytes.size() > bytes.size())
                    abort();
            }
            if (file.bytes().size() != bytes.size() || (file.isEditable() && file.urlRecordAt(slotOffset)))
                abort();
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    const QString folder = cacheFolder().path();
    writeFile(folder + QStringLiteral("/index.dat"), bytes);
    walkAndLookUp(folder);
    removeEveryEntryInMemory(bytes);
    return 0;
}
