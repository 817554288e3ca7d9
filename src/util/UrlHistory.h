#pragma once

#include <QStringList>
#include <chrono>

// The history of visited addresses of the browsers whose caches the program uses: Firefox profiles'
// places.sqlite (visits, with the places no bookmark keeps) and Chromium-family profiles' History database
// (visits, with the addresses no bookmark keeps). The preview of the library window keeps no history: its
// web engine profile is off the record.
//
// Each database is cleared in one transaction, so it is either cleared or left as it was. A browser that is
// running holds its database locked; that database is left untouched, the others are cleared, and the
// failures name every store that was not cleared. Any thread, one clearing at a time.
class UrlHistory
{
public:
    // How long a database held by a running browser is waited for before it counts as locked.
    static constexpr std::chrono::milliseconds kBusyTimeout{250};

    static const QString kFirefoxDatabase;  // "places.sqlite"
    static const QString kChromiumDatabase; // "History"

    // Clears the history stores in `profileFolders`, each whole or not at all: one text per store that
    // could not be cleared, naming it; empty when all were. Waits for a store a browser holds
    // (kBusyTimeout), so off the GUI thread in a window.
    static QStringList ClearUrlHistory(const QStringList& profileFolders);
    // The texts of the stores not cleared, as one message.
    static QString failureText(const QStringList& failures);

private:
    static void clearFirefox(const QString& database);
    static void clearChromium(const QString& profileFolder);
};
