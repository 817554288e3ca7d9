#pragma once

#include <QString>

// One line of the results list: a match of one cache entry with one plan.
struct ResultRow
{
    QString url;
    QString accessDate; // the entry's browse date (UTC) in the user's date form
    QString size;       // bytes, a plain decimal number
    QString planName;

    friend bool operator==(const ResultRow&, const ResultRow&) = default;
};
