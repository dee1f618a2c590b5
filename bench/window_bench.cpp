// The file list of 50,000 recordings in the real window, headless: the
// "Generate file list" press timed until the view holds its last row, and
// the scan that the press does first, timed alone so that it can be taken off.
#include "corpus.h"
#include "figures.h"

#include "korvath.h"
#include "modalboxes.h"
#include "recordertime.h"
#include "testsupport.h"

#include <QAbstractButton>
#include <QDateTimeEdit>
#include <QFile>
#include <QLineEdit>
#include <QListView>
#include <QTest>
#include <benchmark/benchmark.h>
#include <memory>
#include <unistd.h>

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

void fileList(State &state, bool refill)
{
    Window &win = window();
    if (!win.problem.isEmpty()) {
        state.SkipWithError(qPrintable(win.problem));
        return;
    }
    if (refill && !listedAll(win))
        press(win);
    for (auto _ : state) {
        if (!refill) {
            state.PauseTiming();
            // Emptied as a user would: a scan refused for its channel clears the rows.
            win.channel->clear();
            const QList<ModalBox> refused = press(win);
            win.channel->setText(QStringLiteral("1"));
            if (refused.size() != 1 || refused.first().title != QLatin1String("   Ch.") || win.rows() != 0)
                state.SkipWithError("the refused scan did not clear the list");
            state.ResumeTiming();
        }
        const QList<ModalBox> boxes = press(win);
        state.PauseTiming();
        if (!boxes.isEmpty() || !listedAll(win))
            state.SkipWithError("the window did not list every recording");
        state.ResumeTiming();
    }
}

// What the press does before the rows: read, scan, and the map it keeps.
void listScan(State &state)
{
    const Corpus &c = corpus();
    const korvath::DriveHandle handle = korvath::openDrive(QFile::encodeName(c.listImage).constData());
    if (!handle.isValid()) {
        state.SkipWithError("cannot open the image");
        return;
    }
    const korvath::VolumeInfo info = korvath::computeVolumeInfo(handle);
    const korvath::ScanQuery query{0, korvath::toRecorderTime(c.listFrom), korvath::toRecorderTime(c.listTo)};
    for (auto _ : state) {
        korvath::DirectoryRead directory = korvath::readDirectory(handle, info);
        const korvath::RecordingMap found =
            korvath::scanDirectory(directory.bytes.data(), directory.bytes.size(), info, query);
        directory = {};
        QMap<QString, QVector<uint32_t>> fileMap;
        for (auto it = found.cbegin(); it != found.cend(); ++it)
            fileMap.insert(it.key(), it.value().clusters);
        benchmark::DoNotOptimize(fileMap);
        if (fileMap.size() != static_cast<int>(kListRecordings))
            state.SkipWithError("the scan did not find every recording");
    }
    ::close(handle.native);
}

} // namespace

void registerWindowBenchmarks()
{
    using benchmark::RegisterBenchmark;
    const auto slow = [](benchmark::internal::Benchmark *b) {
        b->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(3)->Repetitions(3)->ReportAggregatesOnly(true);
    };
    slow(RegisterBenchmark(name::kListScan, listScan));
    slow(RegisterBenchmark(name::kListFirst, fileList, false));
    slow(RegisterBenchmark(name::kListRefill, fileList, true));
}

void releaseWindow()
{
    g_window.reset();
}

} // namespace bench
