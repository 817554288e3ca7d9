#pragma once

// What the tests of the cache readers share: walking a cache, the bodies of its entries, and reading and
// patching the little-endian fields of cache files.

#include "TestFolders.h"
#include "engine/cache/EntryBody.h"
#include "engine/cache/UrlCache.h"

#include <QByteArray>
#include <QDateTime>
#include <QStringList>
#include <QtEndian>

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <functional>
#include <future>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
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

// Deletes every entry of `cache` that holds exactly `url`, usable or not, the way the clean-up command
// does: each found by a walk of every entry, then deleted by reference.
inline void removeUrl(UrlCache& cache, const QString& url)
{
    std::vector<CacheEntry> holding;
    const std::unique_ptr<CacheEnumeration> enumeration = cache.enumerateAll();
    while (std::optional<CacheEntry> entry = enumeration->next()) {
        if (entry->url == url)
            holding.push_back(std::move(*entry));
    }
    for (const CacheEntry& entry : holding)
        cache.removeEntry(entry);
}

// Three threads look every one of `urls` up and read what they find while a fourth deletes every other
// one; afterwards exactly those deleted are gone. For readers that keep a map of their entries.
inline void lookUpWhileRemoving(UrlCache& cache, const QStringList& urls)
{
    std::vector<std::thread> threads;
    for (int reader = 0; reader < 3; ++reader) {
        threads.emplace_back([&] {
            for (const QString& url : urls) {
                if (const std::optional<CacheEntry> entry = cache.lookup(url)) {
                    EXPECT_EQ(entry->url, url);
                    EntryBody::read(entry->body, EntryBody::kMaxDecodedSize);
                }
            }
        });
    }
    threads.emplace_back([&] {
        for (qsizetype i = 0; i < urls.size(); i += 2)
            removeUrl(cache, urls[i]);
    });
    for (std::thread& thread : threads)
        thread.join();

    for (qsizetype i = 0; i < urls.size(); ++i)
        EXPECT_EQ(cache.lookup(urls[i]).has_value(), i % 2 == 1) << urls[i].toStdString();
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

// The entry's decoded body, read from the cache's files; std::nullopt when it is refused.
inline std::optional<QByteArray> bodyOf(const CacheEntry& entry)
{
    std::variant<QByteArray, EntryBody::Refusal> body = EntryBody::read(entry.body, EntryBody::kMaxDecodedSize);
    if (const EntryBody::Refusal* refusal = std::get_if<EntryBody::Refusal>(&body)) {
        ADD_FAILURE() << entry.url.toStdString() << ": " << EntryBody::nameOf(*refusal);
        return std::nullopt;
    }
    return std::get<QByteArray>(std::move(body));
}

// Why reading the entry's body is refused; None when it is not.
inline EntryBody::Refusal refusalOf(const CacheEntry& entry)
{
    const std::variant<QByteArray, EntryBody::Refusal> body = EntryBody::read(entry.body, EntryBody::kMaxDecodedSize);
    const EntryBody::Refusal* refusal = std::get_if<EntryBody::Refusal>(&body);
    return refusal ? *refusal : EntryBody::Refusal::None;
}

// The entry's decoded size (recorded, or counted where the walk could not know it), and its body: of that
// size, and starting as the served file did.
inline void expectBody(const CacheEntry& entry, qint64 size, const QByteArray& start)
{
    EXPECT_TRUE(entry.size == size || entry.size == CacheEntry::kUnknownSize) << entry.url.toStdString();
    EXPECT_EQ(entry.knownSize(), size) << entry.url.toStdString();
    const std::optional<QByteArray> body = bodyOf(entry);
    ASSERT_TRUE(body);
    EXPECT_EQ(body->size(), size);
    EXPECT_TRUE(body->startsWith(start));
}

// Puts a FIFO where the cache file `path` was, as someone might to make a reader hang.
inline void replaceByFifo(const QString& path)
{
    QFile::remove(path);
    ASSERT_EQ(::mkfifo(QFile::encodeName(path).constData(), 0600), 0) << path.toStdString();
}

// Runs `work`, failing when it has not finished within a few seconds: a reader that opened or read one of
// `fifos` waits for a writer. It is then set free by a writer that comes and goes, so the test ends.
inline void expectNoWaitOn(const QStringList& fifos, const std::function<void()>& work)
{
    std::future<void> done = std::async(std::launch::async, work);
    if (done.wait_for(std::chrono::seconds(10)) == std::future_status::ready)
        return done.get();
    ADD_FAILURE() << "blocked on a FIFO";
    while (done.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready) {
        for (const QString& fifo : fifos) {
            const int writer = ::open(QFile::encodeName(fifo).constData(), O_WRONLY | O_NONBLOCK);
            if (writer >= 0)
                ::close(writer);
        }
    }
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
