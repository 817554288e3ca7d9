#include "engine/run/PageTextSearch.h"

#include <algorithm>

namespace
{

const QByteArrayView kTitleTag = "<title>";

bool containsAny(QByteArrayView haystack, const QByteArrayList& needles)
{
    return std::any_of(needles.begin(), needles.end(),
                       [&](const QByteArray& needle) { return haystack.contains(needle); });
}

qsizetype lastBreakBefore(QByteArrayView text, qsizetype end)
{
    return std::max(text.first(end).lastIndexOf('\n'), text.first(end).lastIndexOf('\r'));
}

qsizetype firstBreakFrom(QByteArrayView text, qsizetype from)
{
    const qsizetype lf = text.indexOf('\n', from);
    const qsizetype cr = text.indexOf('\r', from);
    if (lf < 0 || cr < 0)
        return std::max(lf, cr);
    return std::min(lf, cr);
}

} // namespace

PageTextSearch::PageTextSearch(QByteArrayList wantedText, QByteArrayList wantedTitle, qint64 maxSize)
    : wantedText_(std::move(wantedText)), wantedTitle_(std::move(wantedTitle)), sizeLeft_(maxSize)
{
    qsizetype longest = kTitleTag.size();
    for (const QByteArrayList* texts : {&wantedText_, &wantedTitle_}) {
        for (const QByteArray& text : *texts)
            longest = std::max(longest, text.size());
    }
    carryLength_ = longest - 1;
}

bool PageTextSearch::write(QByteArrayView bytes)
{
    if (bytes.size() > sizeLeft_)
        return false;
    sizeLeft_ -= bytes.size();
    window_.append(bytes);
    searchChunk(window_);
    return true;
}

void PageTextSearch::searchChunk(QByteArrayView chunk)
{
    // The kept end of the line was searched before; searched again with what follows it, it can only find
    // what it found then, or a text that straddles the chunks.
    if (!textFound_ && !wantedText_.isEmpty())
        textFound_ = containsAny(chunk, wantedText_);

    const qsizetype lastBreak = lastBreakBefore(chunk, chunk.size());
    if (lastBreak >= 0) {
        // Lines end in this chunk: the last of them holding the tag decides, unless none does and the line
        // that was open when the chunk began held it.
        const qsizetype tag = chunk.first(lastBreak).lastIndexOf(kTitleTag);
        if (tag >= 0) {
            const qsizetype start = lastBreakBefore(chunk, tag);
            const qsizetype end = firstBreakFrom(chunk, tag);
            if (start < 0)
                lastTitleLineMatched_ = lineHasTitleText_ || containsAny(chunk.first(end), wantedTitle_);
            else
                lastTitleLineMatched_ = containsAny(chunk.sliced(start + 1, end - start - 1), wantedTitle_);
        } else if (lineHasTitleTag_) {
            lastTitleLineMatched_ =
                lineHasTitleText_ || containsAny(chunk.first(firstBreakFrom(chunk, 0)), wantedTitle_);
        }
        lineHasTitleTag_ = false;
        lineHasTitleText_ = false;
    }
    const QByteArrayView openLine = chunk.sliced(lastBreak + 1);
    lineHasTitleTag_ = lineHasTitleTag_ || openLine.contains(kTitleTag);
    lineHasTitleText_ = lineHasTitleText_ || containsAny(openLine, wantedTitle_);

    // Only what a text could still start in is kept.
    const qsizetype keep = std::min(openLine.size(), carryLength_);
    window_.remove(0, window_.size() - keep);
}

bool PageTextSearch::textFound() const
{
    return wantedText_.isEmpty() || textFound_;
}

bool PageTextSearch::titleFound() const
{
    if (wantedTitle_.isEmpty())
        return true;
    return lineHasTitleTag_ ? lineHasTitleText_ : lastTitleLineMatched_;
}
