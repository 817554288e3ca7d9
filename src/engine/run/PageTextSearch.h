#pragma once

#include "engine/cache/ByteSink.h"

#include <QByteArray>
#include <QByteArrayList>

// Looks for a plan's texts in a page as its body streams past, chunk by chunk, without holding the page:
// whether the page contains any of the wanted texts, and whether its last line holding "<title>" contains
// any of the wanted title texts (lines end at CR, LF or CR LF). The texts are compared as bytes.
//
// A text is one line (a plan's field holds no line break), so a match never crosses a line break: only
// the end of the current line, as long as the longest text, is kept from one chunk to the next. Each
// chunk is searched a few times over, whatever its lines, so that a page of line breaks alone costs no
// more than any other.
class PageTextSearch final : public ByteSink
{
public:
    // An empty list is a criterion not asked for: it holds. A page past `maxSize` bytes is refused.
    PageTextSearch(QByteArrayList wantedText, QByteArrayList wantedTitle, qint64 maxSize);

    // False once the page passes its size.
    bool write(QByteArrayView bytes) override;

    // What the page seen so far, taken as the whole page, gives.
    bool textFound() const;
    bool titleFound() const;

private:
    void searchChunk(QByteArrayView chunk);

    const QByteArrayList wantedText_;
    const QByteArrayList wantedTitle_;
    qint64 sizeLeft_;
    qsizetype carryLength_ = 0; // how much of the current line's end is kept: the longest text less one
    QByteArray window_;         // the kept end, then the chunk: what is searched
    bool textFound_ = false;
    bool lineHasTitleTag_ = false;      // the current, unfinished line holds "<title>"
    bool lineHasTitleText_ = false;     // ... and a wanted title text
    bool lastTitleLineMatched_ = false; // the last finished line holding "<title>" held a wanted title text
};
