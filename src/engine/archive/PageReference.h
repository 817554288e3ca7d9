#pragma once

#include <QString>

// One address a page or style sheet refers to, as found in it, before it is resolved.
struct PageReference
{
    enum class Kind
    {
        Resource,   // a picture, font, movie or other file, typed by what the cache says it is
        StyleSheet, // a sheet (<link rel=stylesheet>, @import): its own references are followed
        Script,
        Frame, // an <iframe> or <frame> document: its own part, with its own references
    };

    QString text; // as written, character references and CSS escapes undone, surrounding blanks trimmed
    Kind kind = Kind::Resource;
};
