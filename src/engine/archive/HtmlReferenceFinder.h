#pragma once

#include "engine/archive/CssReferenceFinder.h"
#include "engine/archive/PageReference.h"

#include <QByteArrayView>
#include <QList>
#include <QString>

// The addresses an HTML document loads, found by an HTML5 tokenizer over the whole text (any letter case,
// any quoting, tags across lines, character references undone): src of pictures, scripts, frames, media
// and image inputs; every srcset candidate; href of style-sheet, icon and preload links; background,
// poster and <object data>; and the url()s and @imports of <style> blocks and style attributes. Only
// the tags matter, not the tree they would make, so the work is linear in the text, and what is kept is
// bounded by the caps below (and by those of HtmlTokenizer and CssReferenceFinder) whatever the text holds.
class HtmlReferenceFinder
{
public:
    // More references than this in one document are not followed.
    static constexpr qsizetype kMaxReferences = 20000;
    // A longer address is dropped, as in a style sheet (CssReferenceFinder::kMaxReferenceLength).
    static constexpr qsizetype kMaxReferenceLength = CssReferenceFinder::kMaxReferenceLength;
    // The addresses kept add up to at most this many characters, as in a style sheet.
    static constexpr qsizetype kMaxTotalLength = CssReferenceFinder::kMaxTotalLength;

    struct Found
    {
        QList<PageReference> references; // in document order
        QString baseHref;                // the first <base href>, as written; empty without one
        // Whether anything was left out for a cap: a tag's attributes past HtmlTokenizer::kMaxAttributes,
        // an address too long, references past the count or length caps, image-set() nested too deep.
        bool capped = false;
    };

    // `html` is UTF-8.
    static Found find(QByteArrayView html);
};
