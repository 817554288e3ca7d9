#pragma once

#include "engine/cache/CacheDetector.h"
#include "engine/cache/CacheLocation.h"

#include <QList>
#include <QStringList>
#include <chrono>
#include <functional>

// The history of visited addresses of the browsers whose caches the program uses, and of the program's own
// preview: Firefox profiles' places.sqlite (visits, with the places no bookmark keeps), Chromium-family
// profiles' History database (visits, with the addresses no bookmark keeps), and whatever the preview's web
// engine remembers, through a hook.
//
// Each database is cleared in one transaction, so it is either cleared or left as it was. A browser that is
// running holds its database locked; that database is left untouched, the others are cleared, and then
// an error names every store that was not cleared. The browsers' stores can be cleared on any thread,
// one clearing at a time; the preview's only on the GUI thread (its hook needs it).
class UrlHistory
{
public:
    // How long a database held by a running browser is waited for before it counts as locked.
    static constexpr std::chrono::milliseconds kBusyTimeout{250};

    static const QString kFirefoxDatabase;  // "places.sqlite"
    static const QString kChromiumDatabase; // "History"

    // The profile folders holding the history stores of the browsers that wrote `caches`. Browsers on
    // Linux keep their cache under the cache home and their profile under the config home (Chromium) or a
    // dot folder of the home (Firefox), under the same relative path; a profile may also hold its cache.
    // Folders without a history store are left out; each folder comes once.
    static QStringList profileFolders(const QList<CacheLocation>& caches, const CacheDetector::Homes& homes);

    // Clears the preview's history: set by the window that owns the preview; nothing when unset.
    static void setPreviewHistoryClearer(std::function<void()> clearer);

    // Clears the history stores in `profileFolders`, each whole or not at all: one text per store that
    // could not be cleared, naming it. Waits for a store a browser holds (kBusyTimeout), so off the GUI
    // thread in a window.
    static QStringList clearStores(const QStringList& profileFolders);
    // Clears the preview's history; GUI thread. One text when that failed.
    static QStringList clearPreviewHistory();
    // The texts of the stores not cleared, as one message.
    static QString failureText(const QStringList& failures);

    // Clears the history stores in `profileFolders` and the preview's; GUI thread. Throws
    // std::runtime_error after all of them were tried when any could not be cleared, naming each.
    static void ClearUrlHistory(const QStringList& profileFolders);

private:
    static void clearFirefox(const QString& database);
    static void clearChromium(const QString& profileFolder);
};
