#pragma once

// What the tests of the cache readers share: walking a cache, the bodies of its entries, and reading and
// patching the little-endian fields of cache files.

#include "TestFolders.h"
#include "engine/cache/UrlCache.h"

#include <QByteArray>
#include <QDateTime>
#include <QStringList>
#include <QtEndian>

#include <gtest/gtest.h>

#include <vector>

// Every entry a walk of `cache` offers, in walk order.
inline std::vector<CacheEntry> walk(UrlCache& cache)
{
    std::vector<CacheEntry> entries;
    const std::unique_ptr<CacheEnumeration> enumeration = cache.enumerate();
    while (std::optional<CacheEntry> entry = enumeration->next())
        entries.push_back(std::move(*entry));
    return entries;
}

// The URLs of walked entries, or of what a test expects, in their order.
template <typename Entries>
QStringList urlsOf(const Entries& entries)
{
    QStringList urls;
    for (const auto& entry : entries)
        urls.append(entry.url);
    return urls;
}

inline QDateTime utc(const char* isoTime)
{
    return QDateTime::fromString(QString::fromLatin1(isoTime), Qt::ISODateWithMs).toUTC();
}

// The entry's decoded size, and the body it extracts: of that size, and starting as the served file did.
inline void expectBody(const CacheEntry& entry, qint64 size, const QByteArray& start)
{
    EXPECT_EQ(entry.size, size);
    ASSERT_TRUE(entry.materialize());
    const QByteArray body = fileBytes(entry.localFile);
    EXPECT_EQ(body.size(), size);
    EXPECT_TRUE(body.startsWith(start));
}

inline quint32 u32At(const QByteArray& bytes, qint64 offset)
{
    return qFromLittleEndian<quint32>(bytes.constData() + offset);
}

inline quint64 u64At(const QByteArray& bytes, qint64 offset)
{
    return qFromLittleEndian<quint64>(bytes.constData() + offset);
}

inline void patchU32(QByteArray& bytes, qint64 offset, quint32 value)
{
    qToLittleEndian<quint32>(value, bytes.data() + offset);
}
