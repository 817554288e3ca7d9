#pragma once

#include <QByteArrayList>
#include <QString>

// Chooses the names harvested files take in their plan's save folder. A resource keeps the name of its
// cached copy (logo[1].gif stays logo[1].gif). A document is named after the title of its last title
// line, cleaned of the characters Windows forbids, with the extension .mht; a page without a usable
// title takes its cached name's stem with .mht.
//
// Every name is a direct child of the save folder whatever the title holds, is not hidden (no leading
// dot) and cannot pass for an option (no leading dash), holds no control character, and fits the file
// system's 255 bytes. A name that is taken by a file with other content gives way to the next
// candidate: "Title (2).mht", "Title (3).mht" ... for a document, "logo[2].gif", "logo[3].gif" ... for a
// resource, so that a save never replaces another file.
class DestinationNamer
{
public:
    // Removed from titles, first occurrence of each only, in this order.
    static const QString kForbiddenChars;

    // The longest file name the file systems take, in bytes of UTF-8.
    static constexpr int kMaxNameBytes = 255;

    // The name a resource whose cached copy goes by `localName` (as CacheEntry::localName) asks for.
    static QString resourceName(const QString& localName);
    // The name a document asks for, given its page's titleName (empty for a page without a title tag).
    static QString documentName(const QString& localName, const QString& titleName);

    // The `n`-th name to try for `name` (1 gives `name` itself).
    static QString candidate(const QString& name, int n, bool isDocument);

    // The folder, a slash unless it ends with one, and the name.
    static QString JoinPath(const QString& folder, const QString& fileName);

    // `name` without the first occurrence of each forbidden character; later ones stay.
    static QString StripNameChars(const QString& name);

    // The name of the last title line's title (the text after "<title>" or "<TITLE>" up to "</title>"
    // or "</TITLE>" on that line), as text, with ".mht" and stripped of forbidden characters; empty when
    // no line has a title tag. Titles that are not UTF-8 are decoded from `charset`, or where that is
    // empty from the page's declared character set, else from GBK. documentName makes it safe.
    static QString titleName(const QByteArrayList& pageLines, const QByteArray& charset = {});

    // Whether `name`, put in a folder, names a file directly in it: not empty, not "." or "..", and with
    // no path separator (a backslash counts as one, as it does where the names may end up).
    static bool isDirectChildName(const QString& name);
};
