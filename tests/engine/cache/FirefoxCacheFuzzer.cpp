#include "CacheFuzzing.h"
#include "FirefoxEntryEditor.h"
#include "engine/cache/FirefoxCache.h"
#include "engine/cache/FirefoxEntryFile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cstddef>
#include <cstdint>

// Each input is one entry file of a cache2 folder. It is tried twice: as it is, which mostly meets the
// checks at the door (trailer, metadata hash), and sealed the way the browser would have written it (a fresh
// metadata hash, the file named after its key), so that the damage reaches the parser and what follows it.

namespace
{

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(bytes);
}

void useCache(const QString& cacheFolder)
{
    FirefoxCache cache(cacheFolder);
    CacheFuzzing::useEveryEntry(cache);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const QTemporaryDir temporary;
    const QString cacheFolder = temporary.path() + QStringLiteral("/cache2");
    const QString entries = cacheFolder + QStringLiteral("/entries");
    QByteArray file(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));

    QDir(entries).removeRecursively();
    QDir().mkpath(entries);
    writeFile(entries + QStringLiteral("/0123456789ABCDEF0123456789ABCDEF01234567"), file);
    useCache(cacheFolder);

    QDir(entries).removeRecursively();
    QDir().mkpath(entries);
    FirefoxEntryEditor::resealMetadata(file);
    const QString unnamed = entries + QStringLiteral("/unnamed");
    writeFile(unnamed, file);
    if (const std::optional<FirefoxEntryFile> entryFile = FirefoxEntryFile::read(unnamed)) {
        QFile::rename(unnamed, entries + u'/' + FirefoxEntryEditor::fileNameFor(entryFile->key()));
        useCache(cacheFolder);
    }
    return 0;
}
