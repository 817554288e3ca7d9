#pragma once

#include "engine/PageReference.h"

#include <QByteArrayView>
#include <QList>
#include <QString>
#include <optional>

// The addresses an HTML document loads, found by an HTML5 parser over the whole text (any letter case,
// any quoting, tags across lines, character references undone): src of pictures, scripts, frames, media
// and image inputs; every srcset candidate; href of style-sheet, icon and preload links; background,
// poster and <object data>; and the url()s and @imports of <style> blocks and style attributes.
//
// The parser builds a whole tree: its time grows with the square of the nesting depth, and its memory is
// up to fifty times the text for markup dense with tags. So a document nested deeper than kMaxNesting, or
// larger than kMaxSize, is not parsed: find() gives std::nullopt, and the caller makes do without.
class HtmlReferenceFinder
{
public:
    static constexpr qsizetype kMaxSize = qsizetype(2) << 20;
    static constexpr int kMaxNesting = 512;

    struct Found
    {
        QList<PageReference> references; // in document order
        QString baseHref;                // the first <base href>, as written; empty without one
    };

    // `html` is UTF-8.
    static std::optional<Found> find(QByteArrayView html);

    // An upper bound of how deep the elements of `html` nest once parsed: start tags of elements that
    // can hold others, less the end tags that close one of them. Stray end tags close nothing.
    static int nestingBound(QByteArrayView html, int stopAbove);
};
