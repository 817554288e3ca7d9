#include "app/CommandLineTool.h"
#include "app/ProgramVersion.h"

#include <QCoreApplication>
#include <cstdio>
#include <unistd.h>

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationVersion(ProgramVersion::number());
    QTextStream out(stdout);
    QTextStream err(stderr);
    const CommandLineTool::Terminals terminals{::isatty(STDOUT_FILENO) == 1, ::isatty(STDERR_FILENO) == 1};
    CommandLineTool tool(FileLocations::forProgram(QCoreApplication::applicationDirPath()),
                         CacheDetector::Homes::fromEnvironment(), out, err, terminals);
    return tool.run(QCoreApplication::arguments().mid(1));
}
