#include "app/CommandLineTool.h"

#include <QCoreApplication>
#include <cstdio>

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);
    CommandLineTool tool(QCoreApplication::applicationDirPath(), CacheDetector::Homes::fromEnvironment(), out, err);
    return tool.run(QCoreApplication::arguments().mid(1));
}
