#include "engine/keep/KeptCache.h"

#include "engine/cache/BlockfileCache.h"
#include "engine/cache/CacheEntry.h"
#include "engine/cache/FirefoxCache.h"
#include "engine/cache/FirefoxCacheFolder.h"
#include "engine/cache/IndexDatCache.h"
#include "engine/cache/SimpleCache.h"
#include "engine/cache/SimpleCacheFolder.h"
#include "engine/cache/WebKitCache.h"
#include "engine/cache/WebKitCacheFolder.h"
#include "engine/cache/WebKitRecord.h"

#include <QHashFunctions>

namespace
{

const QString kFirefoxEntries = QStringLiteral("entries");
const QString kWebKitBlobSuffix = QStringLiteral("-blob");
const QString kWebKitResource = QStringLiteral("Resource");

QString webKitRecords()
{
    return QStringLiteral("Version %1/Records").arg(WebKitRecord::kVersion);
}

// A simple cache's files of one entry: "<16 hex>_0" (headers, and the body of most), "_1" (a body written
// apart) and "_s" (a body fetched in ranges).
constexpr qsizetype kSimpleHashDigits = 16;

} // namespace

KeptCache::KeptCache(CacheLocation::Kind kind, QString folder, int location)
    : kind_(kind), folder_(std::move(folder)), location_(location)
{}

KeptCache::Reading KeptCache::reading() const
{
    switch (kind_) {
    case CacheLocation::Kind::ChromiumSimple:
    case CacheLocation::Kind::ChromiumCacheStorage:
    case CacheLocation::Kind::Firefox:
    case CacheLocation::Kind::WebKit:
        return Reading::EntryFiles;
    default:
        return Reading::Walk;
    }
}

bool KeptCache::watchesSubfolder(const QString& parent, const QString& name) const
{
    switch (kind_) {
    case CacheLocation::Kind::Firefox:
        return parent.isEmpty() && name == kFirefoxEntries;
    case CacheLocation::Kind::WebKit: {
        // Records/<partition>/Resource/<record>: one folder of records for each site.
        const QString records = webKitRecords();
        if (parent.isEmpty())
            return name == records.section(u'/', 0, 0);
        if (parent == records.section(u'/', 0, 0))
            return name == records.section(u'/', 1, 1);
        if (parent == records)
            return true;
        return parent.startsWith(records + u'/') && parent.count(u'/') == 2 && name == kWebKitResource;
    }
    default:
        return false;
    }
}

std::optional<QString> KeptCache::entryKeyOf(const QString& parent, const QString& name) const
{
    switch (kind_) {
    case CacheLocation::Kind::ChromiumSimple:
    case CacheLocation::Kind::ChromiumCacheStorage: {
        if (!parent.isEmpty() || name.size() != kSimpleHashDigits + 2)
            return std::nullopt;
        const QString key = name.left(kSimpleHashDigits) + QLatin1String("_0");
        const QStringView stream = QStringView(name).mid(kSimpleHashDigits);
        if (stream != u"_0" && stream != u"_1" && stream != u"_s")
            return std::nullopt;
        return SimpleCacheFolder::isEntryFileName(key) ? std::optional(key) : std::nullopt;
    }
    case CacheLocation::Kind::Firefox:
        return parent == kFirefoxEntries && FirefoxCacheFolder::isEntryFileName(name) ? std::optional(name)
                                                                                      : std::nullopt;
    case CacheLocation::Kind::WebKit: {
        const QString records = webKitRecords();
        if (!parent.startsWith(records + u'/') || !parent.endsWith(u'/' + kWebKitResource))
            return std::nullopt;
        const QString partition = parent.section(u'/', 2, 2);
        QString record = name;
        if (record.endsWith(kWebKitBlobSuffix))
            record.chop(kWebKitBlobSuffix.size());
        const QString key = partition + u'/' + record;
        return WebKitCacheFolder::isRecordName(key) ? std::optional(key) : std::nullopt;
    }
    default:
        return std::nullopt;
    }
}

bool KeptCache::isMainFile(const QString& name) const
{
    switch (kind_) {
    case CacheLocation::Kind::ChromiumSimple:
    case CacheLocation::Kind::ChromiumCacheStorage:
        return name.endsWith(QLatin1String("_0"));
    case CacheLocation::Kind::WebKit:
        return !name.endsWith(kWebKitBlobSuffix);
    default:
        return true;
    }
}

QString KeptCache::entryPath(const QString& entryKey) const
{
    switch (kind_) {
    case CacheLocation::Kind::Firefox:
        return folder_ + u'/' + kFirefoxEntries + u'/' + entryKey;
    case CacheLocation::Kind::WebKit:
        return folder_ + u'/' + webKitRecords() + u'/' + WebKitCacheFolder::partitionOf(entryKey) + u'/' +
               kWebKitResource + u'/' + entryKey.section(u'/', 1);
    default:
        return folder_ + u'/' + entryKey;
    }
}

UrlCache& KeptCache::reader()
{
    if (!reader_) {
        switch (kind_) {
        case CacheLocation::Kind::ChromiumSimple:
            reader_ = std::make_unique<SimpleCache>(folder_);
            break;
        case CacheLocation::Kind::ChromiumCacheStorage:
            reader_ = std::make_unique<SimpleCache>(folder_, SimpleCacheFolder::Stream0::CacheStorage);
            break;
        case CacheLocation::Kind::Firefox:
            reader_ = std::make_unique<FirefoxCache>(folder_);
            break;
        case CacheLocation::Kind::WebKit:
            reader_ = std::make_unique<WebKitCache>(folder_);
            break;
        case CacheLocation::Kind::ChromiumBlockfile:
            reader_ = std::make_unique<BlockfileCache>(folder_);
            break;
        default:
            reader_ = std::make_unique<IndexDatCache>(folder_);
            break;
        }
    }
    return *reader_;
}

quint64 KeptCache::identityOf(const CacheEntry& entry)
{
    // Not the time of last use: a browser that shows an entry again changes that, not the entry.
    const StoredBody& body = entry.body;
    size_t seed = qHashMulti(0, entry.url, body.file, body.offset, body.length, body.storedCrc32.value_or(0),
                             entry.responseTime.toMSecsSinceEpoch());
    if (body.stamp)
        seed = qHashMulti(seed, body.stamp->device, body.stamp->inode, body.stamp->size, body.stamp->modifiedNs);
    return quint64(seed);
}
