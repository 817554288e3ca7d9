#pragma once

#include <QByteArrayList>
#include <QString>

// Chooses where a harvested file goes in its plan's save folder. A resource keeps the name of its
// cached copy (logo[1].gif stays logo[1].gif). A document is named after the title of its last title
// line, cleaned of the characters Windows forbids, with the extension .mht; a page without a title tag
// takes its cached name with .mht; a name that cannot be written falls back to the cached name.
//
// The result is always a direct child of the save folder, whatever the title holds, and choosing it
// leaves no file behind.
class DestinationNamer
{
public:
    // Removed from titles, first occurrence of each only, in this order.
    static const QString kForbiddenChars;

    static QString MakeDestName(const QString& localFile, const QString& saveFolder, bool isDocument);
    // The same for a document whose lines have been read already.
    static QString documentDestName(const QString& localFile, const QString& saveFolder,
                                    const QByteArrayList& pageLines);

    // The folder, a slash unless it ends with one, and the name.
    static QString JoinPath(const QString& folder, const QString& fileName);

    // `name` without the first occurrence of each forbidden character; later ones stay.
    static QString StripNameChars(const QString& name);

    // The name of the last title line's title (the text after "<title>" or "<TITLE>" up to "</title>"
    // or "</TITLE>" on that line), as text, with ".mht" and cleaned; empty when no line has a title tag.
    // Titles that are not UTF-8 are decoded from the page's declared character set, else from GBK.
    static QString titleName(const QByteArrayList& pageLines);

    // Whether `name`, put in a folder, names a file directly in it: not empty, not "." or "..", and with
    // no path separator (a backslash counts as one, as it does where the names may end up).
    static bool isDirectChildName(const QString& name);

    // Whether a file could be written at `path`, creating or replacing it; tried without changing or
    // leaving anything.
    static bool canWrite(const QString& path);
};
