// korvath-case, headless, on the 50,000 recordings of the list image: the
// time from the scan's end to table and timeline shown, a frame of the
// timeline zoomed and panned, the event loop's longest stall while the scan
// and an export run off its thread, and a preview on the sample disk.
#include "corpus.h"
#include "figures.h"

#include "casewindow.h"
#include "exportdialog.h"
#include "modalboxes.h"
#include "recordingtable.h"
#include "testsupport.h"
#include "timeline.h"

#include <QCheckBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <benchmark/benchmark.h>
#include <memory>

namespace bench {

namespace {

using benchmark::State;

// The longest time the event loop did not come round: a timer that asks to
// fire every millisecond notes the largest gap between its firings.
struct StallProbe {
    QTimer timer;
    QElapsedTimer clock;
    qint64 last = 0, longest = 0;
    StallProbe()
    {
        timer.setTimerType(Qt::PreciseTimer);
        timer.setInterval(1);
        QObject::connect(&timer, &QTimer::timeout, [this] {
            const qint64 now = clock.nsecsElapsed();
            longest = std::max(longest, now - last);
            last = now;
        });
        clock.start();
        timer.start();
    }
    double ms() const { return longest * 1e-6; }
};

std::unique_ptr<korvath::CaseWindow> g_case;

korvath::CaseWindow *openedWindow(State &state)
{
    if (!g_case) {
        g_case = std::make_unique<korvath::CaseWindow>();
        g_case->resize(1280, 820);
        g_case->show();
        if (!QTest::qWaitForWindowExposed(g_case.get())) {
            state.SkipWithError("korvath-case was not shown");
            return nullptr;
        }
        QSignalSpy opened(g_case.get(), &korvath::CaseWindow::opened);
        g_case->openSource(corpus().listImage);
        if (!opened.wait(300000) || g_case->model()->rowCount() != static_cast<int>(kListRecordings)) {
            state.SkipWithError("korvath-case did not list the 50,000 recordings");
            return nullptr;
        }
    }
    return g_case.get();
}

// From the scan's end to the last row and every bar shown; the stall is the
// longest of the whole open, the scan's share and the showing's.
void caseList(State &state)
{
    korvath::CaseWindow *w = openedWindow(state);
    if (!w)
        return;
    double scanStall = 0, showStall = 0;
    for (auto _ : state) {
        QElapsedTimer clock;
        qint64 scanEnd = 0;
        StallProbe probe;
        double stallBefore = 0;
        const auto connection = QObject::connect(w, &korvath::CaseWindow::scanFinished, [&] {
            scanEnd = clock.nsecsElapsed();
            stallBefore = probe.ms();
        });
        QSignalSpy opened(w, &korvath::CaseWindow::opened);
        clock.start();
        w->openSource(corpus().listImage);
        if (!opened.wait(300000)) {
            state.SkipWithError("the scan did not end");
            break;
        }
        QTableView *table = w->table();
        table->scrollToBottom();
        table->viewport()->repaint();
        w->timeline()->repaint();
        const qint64 end = clock.nsecsElapsed();
        QObject::disconnect(connection);
        QCoreApplication::processEvents();
        if (w->model()->rowCount() != static_cast<int>(kListRecordings) || scanEnd == 0)
            state.SkipWithError("korvath-case did not show every recording");
        state.SetIterationTime((end - scanEnd) * 1e-9);
        scanStall = std::max(scanStall, stallBefore);
        showStall = std::max(showStall, probe.ms());
    }
    state.counters["scan_stall_ms"] = scanStall;
    state.counters["stall_ms"] = showStall;
}

// One frame: a zoom step or a pan of a tenth, painted.
void timelineFrame(State &state)
{
    korvath::CaseWindow *w = openedWindow(state);
    if (!w)
        return;
    korvath::Timeline *t = w->timeline();
    t->fit();
    int step = 0;
    for (auto _ : state) {
        const double span = t->viewTo() - t->viewFrom();
        switch (step++ % 4) {
        case 0: t->zoomIn(); break;
        case 1: t->setView(t->viewFrom() + span / 10, t->viewTo() + span / 10); break;
        case 2: t->setView(t->viewFrom() - span / 10, t->viewTo() - span / 10); break;
        case 3: t->zoomOut(); break;
        }
        t->repaint();
    }
}

// 128 recordings (256 MiB, page cache) with SHA-256, through the window.
void exportStall(State &state)
{
    korvath::CaseWindow *w = openedWindow(state);
    if (!w)
        return;
    w->clearWindow();
    QItemSelection chosen(w->table()->model()->index(0, 0), w->table()->model()->index(127, 0));
    w->table()->selectionModel()->select(chosen, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    double stall = 0;
    for (auto _ : state) {
        state.PauseTiming();
        QTemporaryDir out(corpus().dir.filePath(QStringLiteral("case-export-XXXXXX")));
        state.ResumeTiming();
        QSignalSpy finished(w, &korvath::CaseWindow::exportFinished);
        std::unique_ptr<StallProbe> probe;
        korvath::testkit::runWithModalBoxes([&] {
            w->exportChosen();
            finished.wait(300000);
        }, [&](QWidget *box) {
            if (auto *options = qobject_cast<korvath::ExportOptionsDialog *>(box)) {
                options->findChild<QLineEdit *>(QStringLiteral("exportFolder"))->setText(out.path());
                options->findChild<QCheckBox *>(QStringLiteral("mp4"))->setChecked(false);
                options->findChild<QCheckBox *>(QStringLiteral("report"))->setChecked(false);
                probe = std::make_unique<StallProbe>();
                options->accept();
            }
        });
        state.PauseTiming();
        if (finished.isEmpty() || !w->exportSummary() || w->exportSummary()->files()->topLevelItemCount() != 128)
            state.SkipWithError("the export did not write the 128 recordings");
        else
            stall = std::max(stall, probe->ms());
        if (w->exportSummary())
            delete w->exportSummary();
        state.ResumeTiming();
    }
    state.counters["stall_ms"] = stall;
}

#ifdef KORVATH_SAMPLE_DISK_PATH
// Choosing a recording of the sample disk to its contact sheet shown.
void samplePreview(State &state)
{
    const QString sample = corpus().dir.filePath(QStringLiteral("sample-disk.img"));
    if (!QFileInfo::exists(sample)
        && korvath::testkit::runProgram(QStringLiteral(KORVATH_SAMPLE_DISK_PATH), {sample}).code != 0) {
        state.SkipWithError("the sample disk could not be made");
        return;
    }
    korvath::CaseWindow w;
    w.show();
    QSignalSpy opened(&w, &korvath::CaseWindow::opened);
    w.openSource(sample);
    if (!opened.wait(60000)) {
        state.SkipWithError("the sample disk did not open");
        return;
    }
    QTableView *table = w.table();
    int row = 0;
    for (auto _ : state) {
        QSignalSpy shown(&w, &korvath::CaseWindow::previewShown);
        table->selectionModel()->setCurrentIndex(table->model()->index(row++ % table->model()->rowCount(), 0),
                                                 QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        if (!shown.wait(30000) || !shown.first().at(1).toBool()) {
            state.SkipWithError("no preview was shown");
            break;
        }
    }
}
#endif

} // namespace

void registerCaseWindowBenchmarks()
{
    using benchmark::RegisterBenchmark;
    const auto slow = [](benchmark::internal::Benchmark *b) {
        b->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3)->Repetitions(3)->ReportAggregatesOnly(true);
        withBest(b);
    };
    const auto real = [](benchmark::internal::Benchmark *b, int iterations) {
        b->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(iterations)->Repetitions(3)->ReportAggregatesOnly(true);
        withBest(b);
    };
    slow(RegisterBenchmark(name::kCaseList, caseList));
    real(RegisterBenchmark(name::kCaseFrame, timelineFrame), 40);
    real(RegisterBenchmark(name::kCaseExport, exportStall), 1);
#ifdef KORVATH_SAMPLE_DISK_PATH
    real(RegisterBenchmark(name::kCasePreview, samplePreview), 6);
#endif
}

void releaseCaseWindow()
{
    g_case.reset();
}

} // namespace bench
