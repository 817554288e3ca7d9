// Cost of the plan file as it grows (the argument is the number of plans in it):
//
//   Load   opening plancfg.ini and reading every plan, as the window and the command-line tool do
//   Save   rewriting one plan of the file, as the plan editor does
//
// Usage: plan_file_benchmark [benchmark options]

#include "plans/PlanFile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>

namespace
{

// A plan file of `count` plans laid out line for line as PlanFile writes one, written straight to disk:
// saving them one by one would rewrite the whole file once per plan.
QString writePlans(const QTemporaryDir& folder, qint64 count)
{
    QByteArray index = "[name]\n";
    QByteArray sections;
    for (qint64 number = 1; number <= count; ++number) {
        const QByteArray n = QByteArray::number(number);
        index += "n" + n + "=key" + n + "\n";
        sections += "[key" + n + "]\nztype=1\nname=方案" + n + "\ntpname=*.htm(html),*.asp\nurlStr=http://news" + n +
                    "\ntilStr=体育\nconStr=\nlday=\nhday=\ndays=7\nlsize=0\nhsize=0\nsavpath=/home/user/harvest/" + n +
                    "\nifdel=0\n";
    }
    const QString path = QDir(folder.path()).filePath(PlanFile::kFileName);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return {};
    file.write("[last]\nlast=" + QByteArray::number(count) + "\n[type]\ndoc=*.htm\nsou=*.gif\n" + index + sections);
    return path;
}

void Load(benchmark::State& state)
{
    const QTemporaryDir folder;
    const QString path = writePlans(folder, state.range(0));
    for (auto _ : state) {
        const PlanFile::Contents contents = PlanFile(path).LoadCfg();
        if (qint64(contents.plans.size()) != state.range(0))
            state.SkipWithError("not every plan loaded");
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void Save(benchmark::State& state)
{
    const QTemporaryDir folder;
    PlanFile file(writePlans(folder, state.range(0)));
    StrucRec plan = file.LoadCfg().plans.front();
    for (auto _ : state) {
        ++plan.days;
        file.savCfg(PlanFile::planNumber(plan.keyName), plan, false);
    }
}

} // namespace

BENCHMARK(Load)->Arg(1000)->Arg(4000)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(Save)->Arg(1000)->Arg(4000)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
