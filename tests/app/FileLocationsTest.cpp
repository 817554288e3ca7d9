#include "app/FileLocations.h"

#include "QtPrinters.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

class FileLocationsTest : public ::testing::Test
{
protected:
    QString path(const QString& relative) const { return QDir(root_.path()).filePath(relative); }

    QTemporaryDir root_;
};

TEST_F(FileLocationsTest, TheProgramFolderWhenWritableElseTheXdgFolders)
{
    struct Case
    {
        const char* name;
        bool writable;
        FileLocations::Environment environment;
        bool besideProgram;
        const char* config; // relative to the temporary root
        const char* state;
    };
    const QString home = path("home");
    const QString config = path("xdg-config");
    const QString state = path("xdg-state");
    // clang-format off
    const Case cases[] = {
        {"writable program folder",       true,  {home, config, state},  true,  "copy/bin",               "copy/bin"},
        {"read-only, XDG variables set",  false, {home, config, state},  false, "xdg-config/webgleaner",  "xdg-state/webgleaner"},
        {"read-only, XDG variables unset", false, {home, {}, {}},        false, "home/.config/webgleaner", "home/.local/state/webgleaner"},
        {"read-only, relative XDG paths", false, {home, "cfg", "state"}, false, "home/.config/webgleaner", "home/.local/state/webgleaner"},
    };
    // clang-format on
    const QString program = path("copy/bin");
    ASSERT_TRUE(QDir().mkpath(program));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const FileLocations files = FileLocations::choose(program, c.writable, c.environment);
        EXPECT_EQ(files.keptBesideProgram(), c.besideProgram);
        EXPECT_EQ(files.configFolder(), path(c.config));
        EXPECT_EQ(files.stateFolder(), path(c.state));
        EXPECT_EQ(files.helpFolder(), program) << "the help file stays beside a copy";
    }
}

TEST_F(FileLocationsTest, AnInstalledProgramUsesTheXdgFoldersAndItsSharedFolderEvenWhenItMayWriteBesideItself)
{
    // prefix/bin/webgleaner with prefix/share/webgleaner/webgleaner.chm, as installed; root may write
    // into prefix/bin, and must not leave its plans there.
    ASSERT_TRUE(QDir().mkpath(path("usr/bin")));
    ASSERT_TRUE(QDir().mkpath(path("usr/share/webgleaner")));
    const FileLocations files = FileLocations::choose(path("usr/bin"), true, {path("home"), {}, {}});
    EXPECT_FALSE(files.keptBesideProgram());
    EXPECT_EQ(files.configFolder(), path("home/.config/webgleaner"));
    EXPECT_EQ(files.stateFolder(), path("home/.local/state/webgleaner"));
    EXPECT_EQ(files.helpFolder(), path("usr/share/webgleaner"));
}

TEST_F(FileLocationsTest, AFolderThisUserMayNotWriteIsNotTheProgramsOwn)
{
    const QString program = path("readonly");
    ASSERT_TRUE(QDir().mkpath(program));
    EXPECT_TRUE(FileLocations::forProgram(program).keptBesideProgram());
    ASSERT_EQ(::chmod(QFile::encodeName(program).constData(), 0555), 0);
    if (::geteuid() == 0)
        GTEST_SKIP() << "root may write into any folder";
    EXPECT_FALSE(FileLocations::forProgram(program).keptBesideProgram());
}

TEST_F(FileLocationsTest, MissingFoldersAreMadePrivateToTheUser)
{
    const FileLocations files = FileLocations::choose(path("bin"), false, {path("home"), {}, path("state")});
    ASSERT_TRUE(files.makeFolders());
    for (const QString& folder : {files.configFolder(), files.stateFolder()}) {
        const QFileInfo info(folder);
        EXPECT_TRUE(info.isDir()) << folder.toStdString();
        EXPECT_EQ(info.permissions() & (QFile::ReadGroup | QFile::WriteGroup | QFile::ReadOther | QFile::WriteOther),
                  QFile::Permissions());
    }
    EXPECT_TRUE(files.makeFolders()) << "folders already there";

    // A file where the state folder's parent should be.
    QFile blocker(path("blocked"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    EXPECT_FALSE(FileLocations::choose(path("bin"), false, {path("home"), {}, path("blocked")}).makeFolders());
}

} // namespace
