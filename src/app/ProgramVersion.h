#pragma once

#include <QString>

// The program's version, as the build's project() declares it, e.g. "1.2".
class ProgramVersion
{
public:
    static QString number();
};
