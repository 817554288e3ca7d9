// Writes each shape of HostilePages, made at the size given, as a file of its own into a folder: seeds for
// harvest_page_fuzzer, made by the build rather than kept in the source tree.
//
// Usage: hostile_page_seeds FOLDER SIZE

#include "engine/archive/HostilePages.h"

#include <QDir>
#include <QFile>
#include <cstdio>
#include <string>

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: hostile_page_seeds FOLDER SIZE\n");
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    const qsizetype size = std::stoll(argv[2]);
    if (!QDir().mkpath(folder))
        return 1;
    int index = 0;
    for (const HostilePages::Shape& shape : HostilePages::kShapes) {
        QFile file(QStringLiteral("%1/hostile-%2.html").arg(folder).arg(++index, 2, 10, QLatin1Char('0')));
        if (!file.open(QIODevice::WriteOnly) || file.write(shape.make(size)) < 0) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(file.fileName()));
            return 1;
        }
    }
    return 0;
}
