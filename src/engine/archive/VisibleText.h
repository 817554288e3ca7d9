#pragma once

#include <QByteArray>
#include <QString>

// The text a reader sees of an HTML page, for finding the page by its words: the markup left out, with
// what is never shown (script, style, template, head elements' text but the title, comments), character
// references undone and white space run together. One pass, linear in the page; the text stops at a cap.
class VisibleText
{
public:
    // Text past this many bytes (of UTF-8) is left out: enough words to find any page by.
    static constexpr qsizetype kMaxTextBytes = 1024 * 1024;

    // `html` is UTF-8 (see PageText::toUnicode for pages in other character sets).
    static QString of(const QByteArray& html);
};
