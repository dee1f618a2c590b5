// The file list of 50,000 recordings in the real window, headless. A press
// of "Generate file list" runs with the program's debug log on and every
// line time-stamped: its last line ends the scan, so the time from it to
// the view holding its last row is the list's own, and the time before it
// is the scan's, both from the same press.
#include "corpus.h"
#include "figures.h"

#include "korvath.h"
#include "modalboxes.h"
#include "recordertime.h"
#include "testsupport.h"

#include <QAbstractButton>
#include <QElapsedTimer>
#include "log.h"
#include <QDateTimeEdit>
#include <QLineEdit>
#include <QListView>
#include <QTest>
#include <benchmark/benchmark.h>
#include <memory>

namespace bench {

namespace {

using benchmark::State;
using korvath::testkit::ModalBox;

struct Window {
    korvath::testkit::DriveMap drives;
    std::unique_ptr<Korvath> w;
    QListView *files = nullptr;
    QAbstractButton *list = nullptr;
    QLineEdit *channel = nullptr;
    QString lastName; // the row that must come last
    QString problem;  // why the window could not be set up

    int rows() const { return files->model()->rowCount(); }
};

std::unique_ptr<Window> g_window;

// Opened once: disk 0 is the list image, chosen by a click on its row.
Window &window()
{
    if (g_window)
        return *g_window;
    const Corpus &c = corpus();
    g_window.reset(new Window);
    Window &win = *g_window;
    win.drives.set(0, c.listImage);
    win.w.reset(new Korvath);
    win.w->show();
    if (!QTest::qWaitForWindowExposed(win.w.get())) {
        win.problem = QStringLiteral("the window was not shown");
        return win;
    }
    auto *disks = win.w->findChild<QListView *>(QStringLiteral("disk_listView"));
    win.files = win.w->findChild<QListView *>(QStringLiteral("file_listView"));
    win.list = win.w->findChild<QAbstractButton *>(QStringLiteral("listfile_pushButton"));
    win.channel = win.w->findChild<QLineEdit *>(QStringLiteral("channel_lineEdit"));
    if (!disks || !win.files || !win.list || !win.channel || disks->model()->rowCount() != 1) {
        win.problem = QStringLiteral("the window does not show the image as its one disk");
        return win;
    }
    QTest::mouseClick(disks->viewport(), Qt::LeftButton, {}, disks->visualRect(disks->model()->index(0, 0)).center());
    win.channel->setText(QStringLiteral("1"));
    win.w->findChild<QDateTimeEdit *>(QStringLiteral("starttime_dateTimeEdit"))->setDateTime(c.listFrom);
    win.w->findChild<QDateTimeEdit *>(QStringLiteral("endtime_dateTimeEdit"))->setDateTime(c.listTo);
    const QDateTime lastStart = c.listFrom.addSecs(60 * static_cast<qint64>(kListRecordings - 1));
    win.lastName = korvath::recordingFileName(korvath::toRecorderTime(lastStart),
                                              korvath::toRecorderTime(lastStart.addSecs(59)), 0);
    return win;
}

// One press, until the view has laid out every row and painted.
QList<ModalBox> press(Window &win)
{
    const QList<ModalBox> boxes = korvath::testkit::runWithModalBoxes([&] { win.list->click(); });
    const QModelIndex last = win.files->model()->index(win.rows() - 1, 0);
    win.files->visualRect(last); // runs the view's pending layout of all rows
    win.files->viewport()->repaint();
    QCoreApplication::processEvents();
    return boxes;
}

bool listedAll(Window &win)
{
    return win.rows() == static_cast<int>(kListRecordings)
           && win.files->model()->index(win.rows() - 1, 0).data().toString() == win.lastName;
}

QElapsedTimer g_clock;
qint64 g_lastLine = 0;
QtMessageHandler g_previous = nullptr;

void stampLine(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (context.category && qstrcmp(context.category, "default") == 0) // the debug log's lines
        g_lastLine = g_clock.nsecsElapsed();
    else if (g_previous)
        g_previous(type, context, message);
}

struct Split {
    double scan = 0; // press to the scan's last log line
    double rows = 0; // from there to the last row shown
};

Split timedPress(Window &win, QList<ModalBox> *boxes)
{
    g_previous = qInstallMessageHandler(stampLine);
    korvath::setDebugLogEnabled(true);
    g_lastLine = 0;
    g_clock.start();
    *boxes = press(win);
    const qint64 end = g_clock.nsecsElapsed();
    korvath::setDebugLogEnabled(false);
    qInstallMessageHandler(g_previous);
    return {g_lastLine * 1e-9, (end - g_lastLine) * 1e-9};
}

void fileList(State &state, bool refill)
{
    Window &win = window();
    if (!win.problem.isEmpty()) {
        state.SkipWithError(qPrintable(win.problem));
        return;
    }
    if (refill && !listedAll(win))
        press(win);
    double scanSeconds = 0;
    for (auto _ : state) {
        if (!refill) {
            // Emptied as a user would: a scan refused for its channel clears the rows.
            win.channel->clear();
            const QList<ModalBox> refused = press(win);
            win.channel->setText(QStringLiteral("1"));
            if (refused.size() != 1 || refused.first().title != QLatin1String("   Ch.") || win.rows() != 0)
                state.SkipWithError("the refused scan did not clear the list");
        }
        QList<ModalBox> boxes;
        const Split split = timedPress(win, &boxes);
        if (!boxes.isEmpty()) {
            state.SkipWithError(qPrintable(QStringLiteral("the window opened a box: %1: %2").arg(boxes.first().title, boxes.first().text)));
            break;
        }
        if (!listedAll(win) || split.scan <= 0)
            state.SkipWithError("the window did not list every recording");
        state.SetIterationTime(split.rows);
        scanSeconds += split.scan;
    }
    state.counters["scan_s"] = benchmark::Counter(scanSeconds, benchmark::Counter::kAvgIterations);
}

} // namespace

void registerWindowBenchmarks()
{
    using benchmark::RegisterBenchmark;
    const auto slow = [](benchmark::internal::Benchmark *b) {
        b->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3)->Repetitions(3)->ReportAggregatesOnly(true);
        withBest(b);
    };
    slow(RegisterBenchmark(name::kListFirst, fileList, false));
    slow(RegisterBenchmark(name::kListRefill, fileList, true));
}

void releaseWindow()
{
    g_window.reset();
}

} // namespace bench
