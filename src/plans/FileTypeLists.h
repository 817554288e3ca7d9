#pragma once

#include <QString>

// The extension entries offered to document plans and to resource plans, each a comma-joined list such
// as "*.htm(html),*.asp". Loaded from the plan file at start-up; they only ever grow.
struct FileTypeLists
{
    QString documentTypes;
    QString resourceTypes;

    const QString& forKind(int ztype) const { return ztype == 0 ? documentTypes : resourceTypes; }
};
