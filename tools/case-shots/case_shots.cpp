// Pictures each screen of korvath-case on a source, for the README: the
// window with a time window chosen and a preview, the case details, the
// export's options and its summary. case-shots SOURCE OUTDIR
#include "casewindow.h"
#include "exportdialog.h"
#include "log.h"
#include "recordingtable.h"
#include "timeline.h"
#include "videomodule.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QDir>
#include <QEventLoop>
#include <QLineEdit>
#include <QTableView>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>

using namespace korvath;

namespace {

QString g_out;
bool g_failed = false;

void shoot(QWidget *w, const char *name)
{
    QApplication::processEvents();
    const QString path = QDir(g_out).filePath(QString::fromLatin1(name));
    if (!w->grab().save(path)) {
        std::fprintf(stderr, "case-shots: %s could not be written\n", qPrintable(path));
        g_failed = true;
        return;
    }
    std::printf("%s\n", qPrintable(path));
}

// Waits for `signal` of `sender`, at most two minutes.
template <typename Signal>
bool waitFor(const typename QtPrivate::FunctionPointer<Signal>::Object *sender, Signal signal)
{
    QEventLoop loop;
    QObject::connect(sender, signal, &loop, &QEventLoop::quit);
    QTimer::singleShot(120000, &loop, [&loop] { loop.exit(1); });
    return loop.exec() == 0;
}

// Fills the modal dialog that `open` shows, pictures it and accepts it.
void shootDialog(const std::function<void()> &open, const char *name, const std::function<void(QDialog *)> &fill)
{
    QTimer::singleShot(200, [name, fill] {
        auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget());
        if (!dialog) {
            std::fprintf(stderr, "case-shots: no dialog for %s\n", name);
            g_failed = true;
            return;
        }
        fill(dialog);
        shoot(dialog, name);
        dialog->accept();
    });
    open();
}

} // namespace

int main(int argc, char *argv[])
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Korvath"));
    QApplication::setApplicationName(QStringLiteral("case-shots")); // its own settings, not the window's
    if (argc != 3) {
        std::fprintf(stderr, "usage: case-shots SOURCE OUTDIR\n");
        return 2;
    }
    g_out = QString::fromLocal8Bit(argv[2]);
    setDebugLogEnabled(false);
    QString why;
    if (const VideoModule *video = videoModule(&why))
        video->quietVideoLibraries();
    QDir().mkpath(g_out);
    QTemporaryDir exported;

    CaseWindow w;
    w.resize(1280, 820);
    w.show();
    w.openSource(QString::fromLocal8Bit(argv[1]));
    if (!waitFor(&w, &CaseWindow::opened) || !w.current()) {
        std::fprintf(stderr, "case-shots: %s did not open\n", argv[1]);
        return 1;
    }
    // One hour across the channels: the first recording's hour.
    const QVector<CaseRow> &rows = w.model()->rows();
    qint64 first = rows.isEmpty() || !rows.first().start ? 0 : *rows.first().start;
    for (const CaseRow &r : rows)
        if (r.start)
            first = std::min(first, *r.start);
    const qint64 hour = first - first % 3600;
    w.chooseWindow(hour, hour + 2 * 3600 - 1);
    w.table()->selectionModel()->setCurrentIndex(w.table()->model()->index(0, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    waitFor(&w, &CaseWindow::previewShown);
    shoot(&w, "case-window.png");

    shootDialog([&] { w.editCase(); }, "case-details.png", [](QDialog *d) {
        d->findChild<QLineEdit *>(QStringLiteral("caseNumber"))->setText(QStringLiteral("2024/117"));
        d->findChild<QLineEdit *>(QStringLiteral("exhibit"))->setText(QStringLiteral("JD/3"));
        d->findChild<QLineEdit *>(QStringLiteral("examiner"))->setText(QStringLiteral("J. Doe"));
        d->findChild<QComboBox *>(QStringLiteral("clockKind"))->setCurrentIndex(1);
        d->findChild<QLineEdit *>(QStringLiteral("clockOffset"))->setText(QStringLiteral("+00:03:12"));
    });

    shootDialog([&] { w.exportChosen(); }, "case-export.png", [&](QDialog *d) {
        d->findChild<QLineEdit *>(QStringLiteral("exportFolder"))->setText(exported.path());
        d->findChild<QCheckBox *>(QStringLiteral("mp4"))->setChecked(true);
        d->findChild<QCheckBox *>(QStringLiteral("report"))->setChecked(true);
    });
    if (!w.exportSummary() && !waitFor(&w, &CaseWindow::exportFinished)) {
        std::fprintf(stderr, "case-shots: the export did not end\n");
        return 1;
    }
    shoot(w.exportSummary(), "case-summary.png");
    return g_failed ? 1 : 0;
}
