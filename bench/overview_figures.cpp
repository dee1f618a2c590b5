// Figures of the whole-disk view: the scan of every channel in one pass beside
// one channel's scan of the same directory, and the overview page of 50,000
// recordings beside a plain listing of them.
#include "corpus.h"
#include "figures.h"

#include "overview.h"
#include "recordingset.h"
#include "scan.h"
#include "unlisted.h"

#include <QFile>
#include <QFileInfo>
#include <benchmark/benchmark.h>

namespace bench {

namespace {

using benchmark::State;

void scanAllChannels(State &state)
{
    const Corpus &c = corpus();
    korvath::ScanQuery query = c.query;
    query.allChannels = true;
    for (auto _ : state) {
        korvath::RecordingMap found = korvath::scanDirectory(c.directory.data(), c.directory.size(), c.large, query);
        state.PauseTiming();
        // Channel 1's recordings and the one on channel 2 the export reads.
        if (found.size() != static_cast<int>(kScanRecordings) + 1)
            state.SkipWithError("the scan of every channel did not list every recording");
        found = {};
        state.ResumeTiming();
    }
}

// list --unlisted: the channel's scan, then the chains no walk reaches.
void scanUnlisted(State &state)
{
    const Corpus &c = corpus();
    for (auto _ : state) {
        korvath::RecordingMap found = korvath::scanDirectory(c.directory.data(), c.directory.size(), c.large, c.query);
        korvath::UnlistedScan u = korvath::findUnlisted(c.directory.data(), c.directory.size(), c.large);
        korvath::RecordingMap unlisted = korvath::unlistedMatching(u.recordings, c.query);
        state.PauseTiming();
        if (found.size() != static_cast<int>(kScanRecordings) || u.bounded || !unlisted.isEmpty())
            state.SkipWithError("the corpus's recordings are all listed, and nothing is unlisted");
        found = {};
        u = {};
        state.ResumeTiming();
    }
}

// The same on the hostile directory: it stops at the scan's bound.
void hostileUnlisted(State &state)
{
    const std::vector<uint8_t> &dir = hostileDirectory();
    for (auto _ : state) {
        const korvath::UnlistedScan u = korvath::findUnlisted(dir.data(), dir.size(), corpus().large);
        if (!u.bounded)
            state.SkipWithError("the hostile directory did not reach the bound");
    }
}

const korvath::OverviewInput &largeOverview()
{
    static const korvath::OverviewInput in = [] {
        korvath::OverviewInput i;
        i.source.givenPath = QStringLiteral("/dev/sdb");
        i.source.sizeBytes = kLargeSectors * korvath::kSectorSize;
        i.source.layout = korvath::volumeInfoForSectors(kLargeSectors);
        i.source.recorderSignature = true;
        i.from = korvath::packRecorderTime(2000, 1, 1, 0, 0, 0);
        i.to = korvath::packRecorderTime(2063, 12, 31, 23, 59, 59);
        i.clockOffset = 192;
        i.recordings = korvath::testkit::busyRecorder(static_cast<int>(kOverviewRecordings), 16);
        return i;
    }();
    return in;
}

void overviewPage(State &state)
{
    const korvath::OverviewInput &in = largeOverview();
    const QString path = corpus().path("overview.html");
    QString error;
    for (auto _ : state)
        if (!korvath::writeOverviewHtml(in, path, &error))
            state.SkipWithError(error.toLocal8Bit().constData());
    state.counters["MB"] = double(QFileInfo(path).size()) / 1e6;
}

// One line per recording, written the same way: the least any report costs.
void overviewPlainListing(State &state)
{
    const korvath::OverviewInput &in = largeOverview();
    const QString path = corpus().path("overview-list.txt");
    for (auto _ : state) {
        QString text;
        for (const korvath::Recording &r : in.recordings)
            text += r.name + QLatin1Char(' ') + QString::number(r.clusters.size()) + QLatin1Char('\n');
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly) || f.write(text.toUtf8()) < 0)
            state.SkipWithError("cannot write the listing");
    }
}

} // namespace

void registerOverviewBenchmarks()
{
    using benchmark::RegisterBenchmark;
    const auto quick = [](benchmark::internal::Benchmark *b) {
        b->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(0.1)->Repetitions(12)->ReportAggregatesOnly(true);
        withBest(b);
    };
    const auto page = [](benchmark::internal::Benchmark *b) {
        b->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(5)->ReportAggregatesOnly(true);
        withBest(b);
    };
    quick(RegisterBenchmark(name::kScanAllChannels, scanAllChannels));
    quick(RegisterBenchmark(name::kScanUnlisted, scanUnlisted));
    page(RegisterBenchmark(name::kHostileUnlisted, hostileUnlisted));
    page(RegisterBenchmark(name::kOverviewPage, overviewPage));
    page(RegisterBenchmark(name::kOverviewList, overviewPlainListing));
}

} // namespace bench
