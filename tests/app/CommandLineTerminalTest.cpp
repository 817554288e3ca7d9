// webgleaner-cli itself, with its error stream on a pseudo-terminal or on a pipe: the progress line is
// drawn only where a person watches it.

#include <QByteArray>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{

const QString kChromiumFixture = QStringLiteral(WEBGLEANER_TEST_DATA "/caches/chromium-simple/Cache_Data");

struct Finished
{
    int exitCode = -1;
    QByteArray err; // as the terminal or the pipe received it
};

// A plan file in `folder` with the plan "styles", which saves the Chromium fixture's two style sheets into
// `save`, made here.
QString stylesPlanIn(const QTemporaryDir& folder, const QString& save)
{
    QFile plans(folder.filePath("plans.ini"));
    if (!QDir().mkpath(save) || !plans.open(QIODevice::WriteOnly))
        return {};
    plans.write("[name]\nn1=key1\n[key1]\nname=styles\nztype=1\ntpname=*.css\nsavpath=" + QFile::encodeName(save) +
                "\n");
    return plans.fileName();
}

// How long a test waits for the tool to say something.
constexpr qint64 kLongestWait = 30000;

// A signal to send once the error stream has said something.
struct StopWhen
{
    QByteArray said;
    int signal = 0; // none when 0
};

// Runs webgleaner-cli with `arguments`, its output thrown away and its error stream on a new
// pseudo-terminal (`terminal`) or a pipe.
Finished runCli(const QStringList& arguments, bool terminal, const StopWhen& stop = {})
{
    int reading = -1;
    int writing = -1;
    if (terminal) {
        if (::openpty(&reading, &writing, nullptr, nullptr, nullptr) != 0)
            return {};
    } else {
        int ends[2];
        if (::pipe(ends) != 0)
            return {};
        reading = ends[0];
        writing = ends[1];
    }
    // Everything the child needs, made before the fork.
    std::vector<QByteArray> words{QByteArray(WEBGLEANER_CLI)};
    for (const QString& argument : arguments)
        words.push_back(QFile::encodeName(argument));
    std::vector<char*> argv;
    for (QByteArray& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    const pid_t child = ::fork();
    if (child == 0) {
        const int nowhere = ::open("/dev/null", O_RDWR);
        ::dup2(nowhere, STDIN_FILENO);
        ::dup2(nowhere, STDOUT_FILENO);
        ::dup2(writing, STDERR_FILENO);
        ::close(reading);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(writing);
    Finished finished;
    char buffer[4096];
    bool signalled = false;
    QElapsedTimer sinceStart;
    sinceStart.start();
    for (;;) {
        if (stop.signal != 0 && !signalled) {
            // What was to be said may never come: the signal goes all the same after a while.
            if (sinceStart.elapsed() > kLongestWait) {
                signalled = true;
                ::kill(child, stop.signal);
            }
            pollfd readable{reading, POLLIN, 0};
            if (::poll(&readable, 1, 100) == 0)
                continue;
        }
        const ssize_t got = ::read(reading, buffer, sizeof buffer);
        if (got > 0) {
            finished.err.append(buffer, got);
            if (stop.signal != 0 && !signalled && finished.err.contains(stop.said)) {
                signalled = true;
                ::kill(child, stop.signal);
            }
        } else if (got < 0 && errno == EINTR) {
            continue;
        } else {
            break; // end of the pipe, or EIO once the terminal's last writer has gone
        }
    }
    ::close(reading);
    int status = 0;
    if (child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status))
        finished.exitCode = WEXITSTATUS(status);
    return finished;
}

TEST(CommandLineTerminalTest, ARunDrawsItsProgressLineOnlyOnATerminal)
{
    struct Case
    {
        const char* name;
        bool terminal;
        bool quiet;
        bool progress;
    };
    const Case cases[] = {
        {"terminal", true, false, true},
        {"terminal, --quiet", true, true, false},
        {"pipe", false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir folder;
        const QString save = folder.filePath("saved");
        QStringList arguments{"run", "--plans", stylesPlanIn(folder, save), "--cache", kChromiumFixture};
        if (c.quiet)
            arguments << "--quiet";

        const Finished finished = runCli(arguments, c.terminal);
        EXPECT_EQ(finished.exitCode, 0) << finished.err.toStdString();
        const QString err = QString::fromUtf8(finished.err);
        EXPECT_TRUE(err.contains(QStringLiteral("已保存2个，失败0个"))) << err.toStdString();
        EXPECT_EQ(err.contains(QStringLiteral("\r已检索 ")), c.progress) << err.toStdString();
        EXPECT_EQ(err.contains(QStringLiteral("匹配 2 项，已保存")), c.progress);
        EXPECT_EQ(QDir(save).entryList(QDir::Files).size(), 2);
    }
}

TEST(CommandLineTerminalTest, WatchKeepsUntilASignalThenPrintsItsTotalsAndExitsZero)
{
    struct Case
    {
        const char* name;
        int signal;
        bool terminal;
        bool quiet;
        bool progress;
    };
    const Case cases[] = {
        {"SIGTERM, as systemd stops it", SIGTERM, false, true, false},
        {"Ctrl-C on a terminal", SIGINT, true, false, true},
        {"terminal, --quiet", SIGINT, true, true, false},
        {"pipe", SIGTERM, false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir folder;
        QStringList arguments{"watch", "--plans", stylesPlanIn(folder, folder.filePath("saved")), "--cache",
                              kChromiumFixture};
        if (c.quiet)
            arguments << "--quiet";

        // Stopped once it keeps, or once its line is drawn where one is drawn.
        const QString cue = c.progress ? QStringLiteral("\r守候中：已保存 ") : QStringLiteral("守候中：");
        const Finished finished = runCli(arguments, c.terminal, {cue.toUtf8(), c.signal});
        EXPECT_EQ(finished.exitCode, 0) << finished.err.toStdString();
        const QString err = QString::fromUtf8(finished.err);
        EXPECT_TRUE(err.contains(QStringLiteral("webgleaner-cli: 守候中："))) << err.toStdString();
        EXPECT_TRUE(err.contains(QRegularExpression(QStringLiteral("已保存\\d+个，失败\\d+个")))) << err.toStdString();
        EXPECT_EQ(err.contains(QStringLiteral("\r守候中：已保存 ")), c.progress) << err.toStdString();
    }
}

// The keeper's first pass saves what the caches hold when keeping starts.
TEST(CommandLineTerminalTest, WatchSavesWhatTheCacheHoldsAtItsStart)
{
    QTemporaryDir folder;
    const QString save = folder.filePath("saved");
    const Finished finished = runCli({"watch", "--plans", stylesPlanIn(folder, save), "--cache", kChromiumFixture},
                                     true, {QStringLiteral("已保存 2 个").toUtf8(), SIGTERM});
    EXPECT_EQ(finished.exitCode, 0) << finished.err.toStdString();
    EXPECT_TRUE(QString::fromUtf8(finished.err).contains(QStringLiteral("已保存2个，失败0个")))
        << finished.err.toStdString();
    EXPECT_EQ(QDir(save).entryList(QDir::Files).size(), 2);
}

} // namespace
