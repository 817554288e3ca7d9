#pragma once

#include <QString>

// Where the program keeps its files.
//
// A copy run from a folder of its own (a build folder, an unpacked archive) keeps everything beside its
// executable, as long as this user may write there. An installed program cannot: its executable sits in
// a system folder such as /usr/bin, with its shared files in ../share/webgleaner. It then keeps
// plancfg.ini and webgleaner.ini in $XDG_CONFIG_HOME/webgleaner (~/.config/webgleaner) and error.log in
// $XDG_STATE_HOME/webgleaner (~/.local/state/webgleaner). The help file is read from the executable's
// folder, else from ../share/webgleaner.
//
// The installed layout is told apart by that shared folder rather than by the write test alone:
// root may write into /usr/bin, and must not leave its plan file there.
class FileLocations
{
public:
    // What the choice reads from the environment; empty strings for variables that are not set.
    struct Environment
    {
        QString home;
        QString configHome; // XDG_CONFIG_HOME
        QString stateHome;  // XDG_STATE_HOME

        static Environment fromProcess();
    };

    // The shared files' folder relative to the executable's, as installed: "../share/webgleaner".
    static const QString kSharedFromProgram;

    // Everything in `folder`: a copy run from its own folder, and the tests.
    static FileLocations allIn(const QString& folder);

    // The folders for the executable in `programFolder`. `programFolderWritable` is whether this user may
    // create files there.
    static FileLocations choose(const QString& programFolder, bool programFolderWritable,
                                const Environment& environment);

    // The folders for the executable in `programFolder`, with this process's environment and rights.
    static FileLocations forProgram(const QString& programFolder);

    bool keptBesideProgram() const { return besideProgram_; }
    QString configFolder() const { return configFolder_; } // plancfg.ini, webgleaner.ini
    QString stateFolder() const { return stateFolder_; }   // error.log
    QString helpFolder() const { return helpFolder_; }     // webgleaner.chm

    // Creates the configuration and state folders where missing (private to the user, as XDG asks);
    // false when one cannot be made.
    bool makeFolders() const;

private:
    FileLocations() = default;

    bool besideProgram_ = true;
    QString configFolder_;
    QString stateFolder_;
    QString helpFolder_;
};
