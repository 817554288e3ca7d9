#pragma once

#include "engine/warc/RunArchive.h"

#include <QDateTime>
#include <QString>

class IniFile;

// What the window's runs write as a web archive besides their saves: nothing, a WARC file, a WACZ package
// or both, into one folder, each run under a name of its own. Kept in the [web archive] section of
// webgleaner.ini; the plan file is not touched, so it reads as it always did.
struct WebArchiveSetting
{
    static const QString kSection;

    bool warc = false;
    bool wacz = false;
    QString folder;

    bool isOn() const { return (warc || wacz) && !folder.isEmpty(); }

    static WebArchiveSetting read(const IniFile& ini);
    // Throws as IniFile's writers do.
    void writeTo(IniFile& ini) const;

    // Where a run started at `start` (local time) writes: "webgleaner-20261211-153000.warc.gz" and
    // ".wacz" in the folder, with "-2", "-3"... after the time where a file of either name is there
    // already, so that no run's archive takes the place of another's. Empty paths for what is not chosen.
    RunArchive::Destination destinationFor(const QDateTime& start) const;
};
