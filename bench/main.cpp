// korvath_bench: builds the images, runs every figure beside its baseline
// (Google Benchmark, repetitions interleaved at random so that a load spike
// does not fall on one side only), measures peak memory in child processes
// and prints one table. scripts/bench is the way to run it.
#include "corpus.h"
#include "figures.h"
#include "memory.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include "log.h"
#include <algorithm>
#include <benchmark/benchmark.h>
#include <iostream>
#include <sys/utsname.h>
#include <unistd.h>

namespace {

// The usual console lines go to stderr as progress; the medians are kept.
class Collector : public benchmark::ConsoleReporter
{
public:
    Collector() : ConsoleReporter(OO_Tabular)
    {
        SetOutputStream(&std::cerr);
        SetErrorStream(&std::cerr);
    }

    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            bench::Measured &m = results[run.run_name.function_name];
            if (run.error_occurred) {
                m.error = run.error_message;
                failed = true;
            } else if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "best") {
                m.best = run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
            } else if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
                m.seconds = run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
                for (const auto &counter : run.counters)
                    m.counters[counter.first] = counter.second.value;
            }
        }
    }

    bench::Results results;
    bool failed = false;
};

QtMessageHandler g_previousHandler = nullptr;

// The offscreen platform's notice on every show says nothing about the program.
void quietHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (!message.contains(QLatin1String("propagateSizeHints")) && g_previousHandler)
        g_previousHandler(type, context, message);
}

std::string cpuModel()
{
    QFile f(QStringLiteral("/proc/cpuinfo"));
    if (f.open(QIODevice::ReadOnly))
        for (const QByteArray &line : f.readAll().split('\n'))
            if (line.startsWith("model name"))
                return line.mid(line.indexOf(':') + 1).trimmed().toStdString();
    return "unknown CPU";
}

void printMachine(std::ostream &out, const QString &folder)
{
    struct utsname u = {};
    ::uname(&u);
    const double ram = double(::sysconf(_SC_PHYS_PAGES)) * double(::sysconf(_SC_PAGESIZE)) / (1024.0 * 1024 * 1024);
    out << "machine: " << cpuModel() << ", " << ::sysconf(_SC_NPROCESSORS_ONLN) << " cores, "
        << QString::number(ram, 'f', 1).toStdString() << " GiB RAM, " << u.sysname << ' ' << u.release
        << "; images in " << folder.toStdString() << "\n\n";
}

} // namespace

void bench::withBest(benchmark::internal::Benchmark *b)
{
    b->ComputeStatistics("best", [](const std::vector<double> &v) { return *std::min_element(v.begin(), v.end()); });
}

int main(int argc, char **argv)
{
    if (bench::isMemoryChild(argc, argv))
        return bench::runMemoryChild(argc, argv);

    // The debug log is switched on only where a figure asks for it.
    qunsetenv("QT_LOGGING_RULES");
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    korvath::setDebugLogEnabled(false);
    g_previousHandler = qInstallMessageHandler(quietHandler);

    const QString base = qEnvironmentVariableIsSet("KORVATH_BENCH_TMP") ? qEnvironmentVariable("KORVATH_BENCH_TMP")
                                                                          : QDir::tempPath();
    std::vector<char *> args{argv[0]};
    char interleave[] = "--benchmark_enable_random_interleaving=true";
    args.push_back(interleave); // before the caller's flags, which may override it
    for (int i = 1; i < argc; ++i)
        args.push_back(argv[i]);
    int benchArgc = static_cast<int>(args.size());
    benchmark::Initialize(&benchArgc, args.data());
    if (benchmark::ReportUnrecognizedArguments(benchArgc, args.data()))
        return 2;

    QElapsedTimer timer;
    timer.start();
    std::cerr << "korvath_bench: building the images in " << base.toStdString() << " ..." << std::endl;
    QString error;
    if (!bench::buildCorpus(base, &error)) {
        std::cerr << "korvath_bench: " << error.toStdString() << std::endl;
        bench::releaseCorpus();
        return 1;
    }
    std::cerr << "korvath_bench: images ready after " << timer.elapsed() / 1000.0 << " s" << std::endl;

    bench::registerVolumeBenchmarks();
    bench::registerWindowBenchmarks();
    bench::registerOverviewBenchmarks();
    bench::registerCaseWindowBenchmarks();
    if (!bench::registerProcessBenchmarks(bench::corpus().dir.path(), &error)) {
        std::cerr << "korvath_bench: " << error.toStdString() << std::endl;
        bench::releaseCorpus();
        return 1;
    }
#ifdef KORVATH_HAVE_VIDEO
    std::cerr << "korvath_bench: writing the video files ..." << std::endl;
    if (!bench::registerVideoBenchmarks(bench::corpus().dir.path(), &error)) {
        std::cerr << "korvath_bench: " << error.toStdString() << std::endl;
        bench::releaseCorpus();
        return 1;
    }
#endif
    Collector reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    bench::releaseWindow();
    bench::releaseCaseWindow();
    std::cerr << "korvath_bench: peak memory ..." << std::endl;
    const bench::MemoryFigures memory = bench::measureMemory();

    std::cout << '\n';
    printMachine(std::cout, bench::corpus().dir.path());
    bench::printTable(reporter.results, memory, std::cout);
    benchmark::Shutdown();
    bench::releaseCorpus();
    return reporter.failed || !memory.error.empty() ? 1 : 0;
}
