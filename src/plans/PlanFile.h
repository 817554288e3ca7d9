#pragma once

#include "plans/StrucRec.h"
#include "util/IniFile.h"

#include <QString>
#include <vector>

// plancfg.ini: the plan counter, the two extension lists and every plan. The one object through which
// the program reads and writes that file; every change is on disk when a call returns. A file that could
// not be read is never written: it reads as holding the defaults, and the writers throw.
class PlanFile
{
public:
    enum class State
    {
        Loaded,    // it holds at least one plan
        NoPlan,    // missing, not INI text (binary data, an unknown encoding), or no named plan in [name]
        Unreadable // not a regular file, no permission, or an I/O error
    };

    struct Status
    {
        State state = State::Loaded;
        QString message; // names the file and the reason; empty when loaded
    };

    static const QString kFileName;
    static const QString kDefaultDocumentTypes;
    static const QString kDefaultResourceTypes;

    struct Contents
    {
        QString documentTypes;
        QString resourceTypes;
        std::vector<StrucRec> plans; // in the order of their lines in [name]
    };

    // Opens the plan file at `filePath`; a missing file is created by the first write.
    explicit PlanFile(const QString& filePath);

    // Where the program keeps its plan file: plancfg.ini in `programFolder`.
    static QString pathIn(const QString& programFolder);

    QString path() const { return ini_.path(); }

    // What opening the file found.
    Status status() const;

    // Writes the counter and the extension lists where they are missing (or a list is empty). Leaves a
    // file that could not be read as it is.
    void CrtCfg();

    // Both extension lists and every plan listed in [name] whose section has a name.
    Contents LoadCfg() const;

    // The number for the next new plan. It never repeats a number in use, even when the counter was lost
    // or lowered by hand; it reserves nothing.
    int GetNameIndx() const;

    // Writes `plan` under number `number`; a new plan also raises the counter to that number.
    void savCfg(int number, const StrucRec& plan, bool newPlan);

    // Removes the plan's line from [name] and its section. The counter stays.
    void deletePlan(const StrucRec& plan);

    void writeDocumentTypes(const QString& list);
    void writeResourceTypes(const QString& list);

    // N of "key<N>"; throws std::invalid_argument for any other form.
    static int planNumber(const QString& keyName);

private:
    // The name of the plan in `section`; a plan without one is not loaded.
    QString planName(const QString& section) const;
    void writePlan(int number, const StrucRec& plan, bool newPlan);

    IniFile ini_;
};
