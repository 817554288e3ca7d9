#include "app/ProgramVersion.h"

// Given to this one file by the build, so that a new version recompiles nothing else.
#ifndef WEBGLEANER_VERSION
#error "the build defines WEBGLEANER_VERSION"
#endif

QString ProgramVersion::number()
{
    return QStringLiteral(WEBGLEANER_VERSION);
}
