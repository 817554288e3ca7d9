#pragma once

#include "engine/archive/PageReference.h"

#include <QByteArrayView>
#include <QList>
#include <QStringView>

// The addresses a style sheet loads: every url(...), quoted or not, and every @import, whether written as
// a string or as url(...), plus the strings of image-set(). Comments are skipped, strings and escapes
// read as CSS reads them. Addresses come in the order they stand, relative ones as written: they are
// resolved against the sheet's own address (or, for a <style> block or style attribute, the page's).
//
// A sheet is untrusted text: the scan is one loop over it, linear in its length whatever it holds, and
// what it keeps is bounded by the caps below. A sheet that reaches one is still read for what it has
// within them; `*capped` (where given) is then set, and otherwise left as it was.
class CssReferenceFinder
{
public:
    // At most this many references: a hostile sheet could name millions.
    static constexpr qsizetype kMaxReferences = 20000;
    // A longer address is dropped: common servers refuse request lines past 8 to 16 KiB, so no cached
    // resource has one. A data: address carries its resource inside it and is dropped without a word.
    static constexpr qsizetype kMaxReferenceLength = 16 * 1024;
    // The addresses kept add up to at most this many characters: 20,000 addresses of 400 characters,
    // more than any real sheet or page has, yet a bound on what the lists that hold them cost.
    static constexpr qsizetype kMaxTotalLength = 8 * 1024 * 1024;
    // image-set() inside image-set() deeper than this is read as any other function: real sheets nest
    // it once at most, and the scan keeps no more than a count per level.
    static constexpr int kMaxNesting = 32;

    static QList<PageReference> find(QStringView css, qsizetype maxReferences = kMaxReferences, bool* capped = nullptr);
    // The same for a sheet in UTF-8, as a page's <style> blocks and style attributes are read.
    static QList<PageReference> findInUtf8(QByteArrayView css, qsizetype maxReferences = kMaxReferences,
                                           bool* capped = nullptr);
};
