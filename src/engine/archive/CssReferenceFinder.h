#pragma once

#include "engine/archive/PageReference.h"

#include <QList>
#include <QStringView>

// The addresses a style sheet loads: every url(...), quoted or not, and every @import, whether written as
// a string or as url(...), plus the strings of image-set(). Comments are skipped, strings and escapes
// read as CSS reads them. Addresses come in the order they stand, relative ones as written: they are
// resolved against the sheet's own address (or, for a <style> block or style attribute, the page's).
class CssReferenceFinder
{
public:
    // At most `maxReferences` of them: a hostile sheet could name millions.
    static QList<PageReference> find(QStringView css, qsizetype maxReferences = kMaxReferences);

    static constexpr qsizetype kMaxReferences = 20000;
};
