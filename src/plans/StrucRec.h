#pragma once

#include <QString>

// One harvest plan, as stored in plancfg.ini under its section `keyName`.
struct StrucRec
{
    int ztype = 0;   // 0 document plan (pages, saved as MHTML archives), 1 resource plan (files copied)
    QString keyName; // "key<N>", N the plan number; fixed at creation
    QString name;
    QString tpname; // chosen extension entries joined by ",", e.g. "*.htm(html),*.asp"
    QString urlStr; // text the address must contain; empty for any site
    QString tilStr; // documents: text the page title must contain
    QString conStr; // documents: text the page body must contain
    QString lday;   // first and last day of the viewed-date range as date text, both or neither
    QString hday;
    int days = 0;  // viewed within the last N days; 0 or below: no such criterion
    int lsize = 0; // size bounds in KB; hsize 0 or below means no size criterion
    int hsize = 0;
    QString savpath;    // folder the matches are saved into
    bool ifdel = false; // delete the cache entry once harvested

    friend bool operator==(const StrucRec&, const StrucRec&) = default;
};
