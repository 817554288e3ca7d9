#pragma once

#include "engine/run/HarvestRun.h"

// What keeping has done since it started.
struct KeepTotals
{
    HarvestRun::Totals saves; // the saves carried out, as a run counts them
    int matched = 0;          // entries that matched a plan and were queued
    int rescans = 0;          // whole caches read again (a start, an overflow, a folder made again)

    friend bool operator==(const KeepTotals&, const KeepTotals&) = default;
};
