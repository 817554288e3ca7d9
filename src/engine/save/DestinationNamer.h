#pragma once

#include <QString>
#include <optional>

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
//
// One save has a namer of its own, which yields the paths to try in its folder, in order, until one is
// free (TemporaryBesideFile::placeAtFirstFree).
class DestinationNamer
{
public:
    // Names tried for one save before it fails: "Title (2).mht" ... "Title (9999).mht".
    static constexpr int kMaxCandidates = 9999;

    // The names of a resource saved into `folder` (resourceName), and of a document (documentName).
    static DestinationNamer forResource(const QString& folder, const QString& localName);
    static DestinationNamer forDocument(const QString& folder, const QString& localName, const QString& title);

    // The next path to try; std::nullopt once kMaxCandidates were given.
    std::optional<QString> next();

    // Removed from titles, first occurrence of each only, in this order.
    static const QString kForbiddenChars;

    // The longest file name the file systems take, in bytes of UTF-8.
    static constexpr int kMaxNameBytes = 255;

    // The name a resource whose cached copy goes by `localName` (as CacheEntry::localName) asks for.
    static QString resourceName(const QString& localName);
    // The name a document asks for, given its page's title (PageText::title; empty for a page without a
    // title tag): the title stripped of forbidden characters, made safe, with ".mht".
    static QString documentName(const QString& localName, const QString& title);

    // The `n`-th name to try for `name` (1 gives `name` itself).
    static QString candidate(const QString& name, int n, bool isDocument);

    // The folder, a slash unless it ends with one, and the name.
    static QString JoinPath(const QString& folder, const QString& fileName);

    // `name` without the first occurrence of each forbidden character; later ones stay.
    static QString StripNameChars(const QString& name);

    // Whether `name`, put in a folder, names a file directly in it: not empty, not "." or "..", and with
    // no path separator (a backslash counts as one, as it does where the names may end up).
    static bool isDirectChildName(const QString& name);

private:
    DestinationNamer(const QString& folder, const QString& name, bool isDocument);

    const QString folder_;
    const QString name_;
    const bool isDocument_;
    int tried_ = 0;
};
