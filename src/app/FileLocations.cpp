#include "app/FileLocations.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace
{

const QString kFolderName = QStringLiteral("webgleaner");

// An XDG base folder: the variable's value when it is an absolute path (the XDG base directory rules say a
// relative one is to be ignored), else its default under the home folder.
QString baseFolder(const QString& value, const QString& home, const char* defaultUnderHome)
{
    if (QDir::isAbsolutePath(value))
        return value;
    return QDir(home).filePath(QLatin1String(defaultUnderHome));
}

} // namespace

const QString FileLocations::kSharedFromProgram = QStringLiteral("../share/webgleaner");

FileLocations::Environment FileLocations::Environment::fromProcess()
{
    return {qEnvironmentVariable("HOME", QDir::homePath()), qEnvironmentVariable("XDG_CONFIG_HOME"),
            qEnvironmentVariable("XDG_STATE_HOME")};
}

FileLocations FileLocations::allIn(const QString& folder)
{
    FileLocations locations;
    locations.configFolder_ = folder;
    locations.stateFolder_ = folder;
    locations.helpFolder_ = folder;
    return locations;
}

FileLocations FileLocations::choose(const QString& programFolder, bool programFolderWritable,
                                    const Environment& environment)
{
    const QString shared = QDir::cleanPath(QDir(programFolder).filePath(kSharedFromProgram));
    const bool installed = QFileInfo(shared).isDir();
    if (programFolderWritable && !installed)
        return allIn(programFolder);
    FileLocations locations;
    locations.besideProgram_ = false;
    locations.configFolder_ =
        QDir(baseFolder(environment.configHome, environment.home, ".config")).filePath(kFolderName);
    locations.stateFolder_ =
        QDir(baseFolder(environment.stateHome, environment.home, ".local/state")).filePath(kFolderName);
    locations.helpFolder_ = installed ? shared : programFolder;
    return locations;
}

FileLocations FileLocations::forProgram(const QString& programFolder)
{
    return choose(programFolder, QFileInfo(programFolder).isWritable(), Environment::fromProcess());
}

bool FileLocations::makeFolders() const
{
    for (const QString& folder : {configFolder_, stateFolder_}) {
        if (QFileInfo(folder).isDir())
            continue;
        if (!QDir().mkpath(folder))
            return false;
        QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    return true;
}
