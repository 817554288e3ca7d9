#pragma once

#include "engine/warc/WarcWriter.h"

#include <QString>
#include <QStringList>
#include <memory>

class QFileDevice;
class QSaveFile;
class QTemporaryFile;

// What one harvest run writes as a web archive besides its saved files: a WARC file, a WACZ package, or
// both. Records go into a temporary file beside the destination as the run commits its entries; finish()
// puts the results in place, so an interrupted run leaves nothing under their names. A WACZ alone has its
// WARC in a hidden temporary file beside it, removed once the package is made.
//
// prepare() is thread-safe; the rest is used by one thread at a time: the copy worker's commit step while the
// run goes on, then whoever finishes it.
class RunArchive
{
public:
    struct Destination
    {
        QString warcPath; // may be empty
        QString waczPath; // may be empty
    };

    RunArchive(const Destination& destination, const QByteArray& software, const QStringList& caches);
    ~RunArchive();
    RunArchive(const RunArchive&) = delete;
    RunArchive& operator=(const RunArchive&) = delete;

    // Whether the temporary files could be made; errorText() says why not.
    bool isOpen() const { return writer_ != nullptr; }
    const QString& errorText() const { return error_; }

    // Whether pages are wanted with their title and visible text (a package is made).
    bool wantsPages() const { return !destination_.waczPath.isEmpty(); }

    // Reads `entry` into a record that waits for its turn (WarcWriter::prepare); any thread, any time after
    // construction.
    WarcWriter::Prepared prepare(const CacheEntry& entry, const std::atomic<bool>* abort = nullptr) const;
    // The same fed by a reading of the body elsewhere (WarcWriter::Preparation); null when the archive could
    // not be opened.
    std::unique_ptr<WarcWriter::Preparation> startPreparation(const CacheEntry& entry,
                                                              const std::atomic<bool>* abort = nullptr) const;
    WarcWriter::Outcome record(const CacheEntry& entry);
    WarcWriter::Outcome record(const CacheEntry& entry, const WarcWriter::Prepared& prepared);
    // A page recorded, for the package's list of pages.
    void addPage(const CacheEntry& page, const QString& title, const QString& text);

    // The records written (responses and revisits).
    int records() const { return writer_ ? int(writer_->captures().size()) : 0; }

    // Puts the WARC file and the package in place. The error in the user's words; empty when all is in place.
    QString finish();

    // A page's visible text kept in the list of pages at most: enough to find it by its words.
    static constexpr qsizetype kMaxPageText = 256 * 1024;

private:
    const Destination destination_;
    const QByteArray software_;
    std::unique_ptr<QSaveFile> warcFile_;
    std::unique_ptr<QTemporaryFile> hiddenWarc_;
    std::unique_ptr<QTemporaryFile> pages_;
    std::unique_ptr<WarcWriter> writer_;
    QString error_;
    bool pagesFailed_ = false;
};
