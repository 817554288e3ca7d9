#include "engine/warc/RunArchive.h"

#include "engine/warc/CdxjIndex.h"
#include "engine/warc/HttpResponseBlock.h"
#include "engine/warc/WaczPackage.h"

#include <QFileInfo>
#include <QSaveFile>
#include <QTemporaryFile>

namespace
{

QString fileError(const QFileDevice& file, const QString& path)
{
    return QStringLiteral("无法写入“%1”：%2").arg(path, file.errorString());
}

std::unique_ptr<QTemporaryFile> hiddenBeside(const QString& path, const QString& suffix)
{
    auto file = std::make_unique<QTemporaryFile>(QFileInfo(path).absolutePath() +
                                                 QStringLiteral("/.webgleaner-XXXXXX") + suffix);
    if (!file->open())
        return nullptr;
    return file;
}

} // namespace

RunArchive::RunArchive(const Destination& destination, const QByteArray& software, const QStringList& caches)
    : destination_(destination), software_(software)
{
    QFileDevice* out = nullptr;
    if (!destination_.warcPath.isEmpty()) {
        warcFile_ = std::make_unique<QSaveFile>(destination_.warcPath);
        // Another program's half-written file would be as bad as ours.
        warcFile_->setDirectWriteFallback(false);
        if (!warcFile_->open(QIODevice::WriteOnly)) {
            error_ = fileError(*warcFile_, destination_.warcPath);
            return;
        }
        out = warcFile_.get();
    }
    if (wantsPages()) {
        if (out == nullptr) {
            hiddenWarc_ = hiddenBeside(destination_.waczPath, QStringLiteral(".warc.gz"));
            out = hiddenWarc_.get();
        }
        pages_ = hiddenBeside(destination_.waczPath, QStringLiteral(".jsonl"));
        if (out == nullptr || pages_ == nullptr) {
            error_ = QStringLiteral("无法在“%1”旁建立临时文件").arg(destination_.waczPath);
            return;
        }
        pagesFailed_ = pages_->write(WaczPackage::pagesHeader()) < 0;
    }
    if (out == nullptr) {
        error_ = QStringLiteral("没有指定输出文件");
        return;
    }
    writer_ = std::make_unique<WarcWriter>(*out);
    if (!writer_->writeInfo(software_, caches))
        error_ = fileError(*out, destination_.warcPath.isEmpty() ? destination_.waczPath : destination_.warcPath);
}

RunArchive::~RunArchive() = default;

WarcWriter::Outcome RunArchive::record(const CacheEntry& entry)
{
    if (!writer_)
        return {WarcWriter::Refusal::WriteFailed};
    return writer_->record(entry);
}

WarcWriter::Prepared RunArchive::prepare(const CacheEntry& entry, const std::atomic<bool>* abort) const
{
    if (!writer_)
        return {WarcWriter::Refusal::WriteFailed};
    return writer_->prepare(entry, abort);
}

std::unique_ptr<WarcWriter::Preparation> RunArchive::startPreparation(const CacheEntry& entry,
                                                                      const std::atomic<bool>* abort) const
{
    if (!writer_)
        return nullptr;
    return std::make_unique<WarcWriter::Preparation>(*writer_, entry, abort);
}

WarcWriter::Outcome RunArchive::record(const CacheEntry& entry, const WarcWriter::Prepared& prepared)
{
    if (!writer_)
        return {WarcWriter::Refusal::WriteFailed};
    return writer_->record(entry, prepared);
}

void RunArchive::addPage(const CacheEntry& page, const QString& title, const QString& text)
{
    if (!pages_ || pagesFailed_)
        return;
    const std::optional<HttpResponseBlock> head = HttpResponseBlock::fromCachedHead(page.responseHead);
    const QDateTime date = WarcWriter::dateOf(page, head ? head->date() : QDateTime());
    const QByteArray line = WaczPackage::pageLine(page.url, date, title, text.left(kMaxPageText));
    pagesFailed_ = pages_->write(line) != line.size();
}

QString RunArchive::finish()
{
    if (!writer_)
        return error_;
    if (writer_->failed())
        return fileError(warcFile_ ? static_cast<QFileDevice&>(*warcFile_) : *hiddenWarc_,
                         destination_.warcPath.isEmpty() ? destination_.waczPath : destination_.warcPath);
    QString warcPath = destination_.warcPath;
    if (warcFile_ && !warcFile_->commit())
        return fileError(*warcFile_, destination_.warcPath);
    if (!wantsPages())
        return {};
    if (hiddenWarc_) {
        warcPath = hiddenWarc_->fileName();
        if (!hiddenWarc_->flush())
            return fileError(*hiddenWarc_, destination_.waczPath);
    }
    if (pagesFailed_ || !pages_->flush())
        return fileError(*pages_, destination_.waczPath);
    const QString error =
        WaczPackage::write(destination_.waczPath, {warcPath, CdxjIndex::build(writer_->captures(), "data.warc.gz"),
                                                   pages_->fileName(), software_});
    return error.isEmpty() ? QString() : QStringLiteral("无法写入“%1”：%2").arg(destination_.waczPath, error);
}
