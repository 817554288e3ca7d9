#pragma once

#include "engine/archive/PageReference.h"

#include <QByteArrayView>
#include <QList>
#include <QString>

// The addresses an HTML document loads, found by an HTML5 tokenizer over the whole text (any letter case,
// any quoting, tags across lines, character references undone): src of pictures, scripts, frames, media
// and image inputs; every srcset candidate; href of style-sheet, icon and preload links; background,
// poster and <object data>; and the url()s and @imports of <style> blocks and style attributes. Only
// the tags matter, not the tree they would make, so the work is linear in the text.
class HtmlReferenceFinder
{
public:
    // More references than this in one document are not followed.
    static constexpr qsizetype kMaxReferences = 20000;

    struct Found
    {
        QList<PageReference> references; // in document order
        QString baseHref;                // the first <base href>, as written; empty without one
    };

    // `html` is UTF-8.
    static Found find(QByteArrayView html);
};
