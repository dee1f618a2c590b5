// The overview page of a large disk (50,000 recordings on sixteen channels,
// with a clock offset) beside a plain listing of the same recordings, one
// line each, the least any report of them costs. Its own program:
//   cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DKORVATH_BUILD_BENCH=ON
//   cmake --build build-bench --target korvath_overview_bench && build-bench/bench/korvath_overview_bench
#include "overview.h"
#include "recordingset.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>

namespace {

korvath::OverviewInput largeInput()
{
    korvath::OverviewInput in;
    in.source.path = QStringLiteral("/dev/sdb");
    in.source.sizeBytes = 500107862016ull;
    in.source.hasLayout = true;
    in.source.layout = korvath::volumeInfoForSectors(976773168ull);
    in.source.signatureFound = true;
    in.from = korvath::packRecorderTime(2000, 1, 1, 0, 0, 0);
    in.to = korvath::packRecorderTime(2063, 12, 31, 23, 59, 59);
    in.clockOffset = 192;
    in.recordings = korvath::testkit::busyRecorder(50000, 16);
    return in;
}

const korvath::OverviewInput &input()
{
    static const korvath::OverviewInput in = largeInput();
    return in;
}

void overviewPage(benchmark::State &state)
{
    const korvath::OverviewInput &in = input();
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("overview.html"));
    QString error;
    for (auto _ : state)
        if (!korvath::writeOverviewHtml(in, path, &error))
            state.SkipWithError(error.toLocal8Bit().constData());
    state.counters["MB"] = double(QFileInfo(path).size()) / 1e6;
}

void plainListing(benchmark::State &state)
{
    const korvath::OverviewInput &in = input();
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("list.txt"));
    for (auto _ : state) {
        QString text;
        for (const korvath::Recording &r : in.recordings)
            text += r.name + QLatin1Char(' ') + QString::number(r.clusters.size()) + QLatin1Char('\n');
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly) || f.write(text.toUtf8()) < 0)
            state.SkipWithError("cannot write the listing");
    }
    state.counters["MB"] = double(QFileInfo(path).size()) / 1e6;
}

BENCHMARK(overviewPage)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(plainListing)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

} // namespace

BENCHMARK_MAIN();
