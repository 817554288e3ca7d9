#include "engine/cache/SimpleCacheEnumeration.h"

namespace
{

// As much of each entry file as is read ahead: small entries whole, which most are; larger ones are read
// again, head and tail, when the walk reaches them.
constexpr qint64 kReadAheadBytes = 16 * 1024;

} // namespace

SimpleCacheEnumeration::SimpleCacheEnumeration(const SimpleCacheFolder& folder, Offer offer)
    : folder_(folder), offer_(offer), openFolder_(std::make_shared<const FolderHandle>(folder.path())),
      entryFileNames_(folder.entryFileNames()),
      lastUsedTimes_(offer == Offer::Usable ? folder.lastUsedTimes() : QHash<quint64, QDateTime>()),
      readAhead_(openFolder_->fd(), kReadAheadBytes)
{}

std::optional<CacheEntry> SimpleCacheEnumeration::next()
{
    while (nextIndex_ < entryFileNames_.size()) {
        if (offer_ == Offer::Every) {
            if (std::optional<CacheEntry> entry = folder_.referenceOf(entryFileNames_.at(nextIndex_++)))
                return entry;
            continue;
        }
        if (nextReadAhead_ == readAheadFiles_.size()) {
            readAheadFiles_ = readAhead_.read(batchFrom(nextIndex_));
            nextReadAhead_ = 0;
            // Where reads are shared with a helper thread, it reads the next batch while this one is walked.
            if (readAhead_.readsAhead())
                readAhead_.readAhead(batchFrom(nextIndex_ + qsizetype(readAheadFiles_.size())));
        }
        BatchFileReader::File& file = readAheadFiles_[nextReadAhead_++];
        std::optional<CacheEntry> entry =
            folder_.readEntry(entryFileNames_.at(nextIndex_++), lastUsedTimes_, openFolder_, &file);
        if (entry)
            return entry;
    }
    return std::nullopt;
}

QStringList SimpleCacheEnumeration::batchFrom(qsizetype index) const
{
    if (index >= entryFileNames_.size())
        return {};
    const QStringList batch =
        entryFileNames_.sliced(index, std::min<qsizetype>(BatchFileReader::kBatchSize, entryFileNames_.size() - index));
    return openFolder_->fd() == AT_FDCWD ? pathsOf(batch) : batch;
}

QStringList SimpleCacheEnumeration::pathsOf(const QStringList& fileNames) const
{
    QStringList paths;
    for (const QString& fileName : fileNames)
        paths << openFolder_->pathOrName(folder_.path(), fileName);
    return paths;
}
