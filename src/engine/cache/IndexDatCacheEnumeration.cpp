#include "engine/cache/IndexDatCacheEnumeration.h"

#include "engine/cache/IndexDatFile.h"

IndexDatCacheEnumeration::IndexDatCacheEnumeration(const IndexDatFolder& folder,
                                                   std::shared_ptr<const IndexDatFile> file, Offer offer)
    : folder_(folder), file_(std::move(file)), offer_(offer)
{}

std::optional<CacheEntry> IndexDatCacheEnumeration::next()
{
    if (!file_)
        return std::nullopt;
    const QList<IndexDatFile::HashTable>& tables = file_->hashTables();
    while (table_ < tables.size()) {
        const IndexDatFile::HashTable& table = tables.at(table_);
        if (slot_ >= table.slotCount) {
            ++table_;
            slot_ = 0;
            continue;
        }
        const qint64 slotOffset = IndexDatFile::slotOffset(table, slot_++);
        // Each record is looked at once, however many slots of a damaged file lead to it.
        const std::optional<quint32> recordOffset = file_->liveRecordOffsetAt(slotOffset);
        if (!recordOffset || recordsSeen_.contains(*recordOffset))
            continue;
        recordsSeen_.insert(*recordOffset);
        const std::optional<IndexDatUrlRecord> record = file_->urlRecordAt(slotOffset);
        if (!record)
            continue;
        std::optional<CacheEntry> entry =
            offer_ == Offer::Usable ? folder_.entryOf(*file_, *record) : folder_.referenceOf(*record);
        if (entry)
            return entry;
    }
    return std::nullopt;
}

CacheEnumeration::Progress IndexDatCacheEnumeration::progress() const
{
    if (!file_)
        return {};
    Progress progress{0, 0};
    const QList<IndexDatFile::HashTable>& tables = file_->hashTables();
    for (qsizetype i = 0; i < tables.size(); ++i) {
        progress.total += tables.at(i).slotCount;
        if (i < table_)
            progress.done += tables.at(i).slotCount;
        else if (i == table_)
            progress.done += slot_;
    }
    return progress;
}
