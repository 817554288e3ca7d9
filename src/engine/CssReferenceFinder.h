#pragma once

#include "engine/PageReference.h"

#include <QList>
#include <QStringView>

// The addresses a style sheet loads: every url(...), quoted or not, and every @import, whether written as
// a string or as url(...), plus the strings of image-set(). Comments are skipped, strings and escapes
// read as CSS reads them. Addresses come in the order they stand, relative ones as written: they are
// resolved against the sheet's own address (or, for a <style> block or style attribute, the page's).
class CssReferenceFinder
{
public:
    static QList<PageReference> find(QStringView css);
};
