// korvath-case driven offscreen over the sample disk: what it lists, chooses,
// previews and exports must be what korvath-cli gives for the same choice.
#include "casewindow.h"
#include "dfxmlreport.h"
#include "ewfimage.h"
#include "exportdialog.h"
#include "imagebuilder.h"
#include "faultmount.h"
#include "modalboxes.h"
#include "recordingtable.h"
#include "testsupport.h"
#include "timeline.h"

#include <QtTest>
#include <QtWidgets>

using namespace korvath;
using namespace korvath::testkit;

namespace {

const QDateTime kEpoch(QDate(2000, 1, 1), QTime(0, 0), Qt::UTC);
QString stamp(qint64 seconds) { return kEpoch.addSecs(seconds).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")); }

// Every file below `dir` with its bytes, by relative path.
QMap<QString, QByteArray> filesBelow(const QString &dir, const QStringList &skip = {})
{
    QMap<QString, QByteArray> out;
    QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString rel = QDir(dir).relativeFilePath(it.next());
        if (!skip.contains(rel))
            out.insert(rel, fileBytes(it.filePath()));
    }
    return out;
}

// "hash  path" lines, as korvath-cli prints them, by path.
QMap<QString, QString> hashLines(const QStringList &lines)
{
    QMap<QString, QString> out;
    for (const QString &l : lines)
        out.insert(l.mid(66), l.left(64));
    return out;
}

} // namespace

class CaseWindowTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_tmp;
    QString m_sample;

    // The sample disk through a drive that answers slowly, so that an export
    // is still running when it is interrupted, open with every recording chosen.
    void openSlowSampleChoosingAll(std::unique_ptr<FaultMount> &mount)
    {
        Faults slow;
        slow.slow = {{0, 16777215}};
        slow.slowMs = 40;
        mount.reset(new FaultMount(m_sample, slow));
        QVERIFY2(mount->isMounted(), qPrintable(mount->error()));
        openWindow(mount->path());
        w->action(QStringLiteral("chooseAll"))->trigger();
    }
    QString m_e01; // a small recorder disk of three channels as an E01; empty without ewfacquire
    std::unique_ptr<CaseWindow> w;

    void openWindow(const QString &source)
    {
        w.reset(new CaseWindow);
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        QSignalSpy opened(w.get(), &CaseWindow::opened);
        w->openSource(source);
        QVERIFY(opened.wait(60000));
        QCOMPARE(opened.first().first().toBool(), true);
    }

    // Export through the options dialog; `onProgress` sees the progress dialog.
    void exportTo(const QString &folder, bool mp4, bool report, const std::function<void(ExportProgressDialog *)> &onProgress = {})
    {
        QSignalSpy finished(w.get(), &CaseWindow::exportFinished);
        const QList<ModalBox> boxes = runWithModalBoxes([&] {
            w->action(QStringLiteral("export"))->trigger();
            QVERIFY(finished.wait(120000));
        }, [&](QWidget *box) {
            if (auto *options = qobject_cast<ExportOptionsDialog *>(box)) {
                options->findChild<QLineEdit *>(QStringLiteral("exportFolder"))->setText(folder);
                QVERIFY(options->findChild<QCheckBox *>(QStringLiteral("sha256"))->isChecked()); // on by default
                options->findChild<QCheckBox *>(QStringLiteral("mp4"))->setChecked(mp4);
                options->findChild<QCheckBox *>(QStringLiteral("report"))->setChecked(report);
                options->accept();
            } else if (auto *progress = qobject_cast<ExportProgressDialog *>(box)) {
                if (onProgress)
                    onProgress(progress);
            }
        });
        QVERIFY(messageBoxes(boxes).isEmpty());
        QVERIFY(w->exportSummary());
    }

    // As a click on the row does (selectRow would follow a Shift left from an earlier drag).
    void chooseRow(int row)
    {
        w->table()->selectionModel()->setCurrentIndex(w->table()->model()->index(row, 0),
                                                      QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    }

    QMap<QString, QString> summaryHashes() const
    {
        QMap<QString, QString> out;
        QTreeWidget *files = w->exportSummary()->files();
        for (int i = 0; i < files->topLevelItemCount(); ++i)
            out.insert(files->topLevelItem(i)->text(0), files->topLevelItem(i)->text(1));
        out.remove(QStringLiteral("case.xml")); // named, without a hash line, as korvath-cli does
        out.remove(QStringLiteral("case.html"));
        return out;
    }

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QCoreApplication::setOrganizationName(QStringLiteral("KorvathTest"));
        QCoreApplication::setApplicationName(QStringLiteral("korvath-case-test"));
        QSettings().clear();
        m_sample = m_tmp.filePath(QStringLiteral("sample.img"));
        const ProcessRun made = runProgram(QStringLiteral(KORVATH_SAMPLE_DISK_PATH), {m_sample});
        QVERIFY2(made.code == 0, qPrintable(made.err));
        ImageBuilder small(64 * 4096);
        small.recorderSignature();
        for (uint32_t c = 0; c < 3; ++c)
            small.recording(c, sampleTime(8 + c, 0), sampleTime(8 + c, 10), {20 + 2 * c, 21 + 2 * c}, 0x100 + c);
        QString error;
        QVERIFY2(small.write(m_tmp.filePath(QStringLiteral("small.img")), &error), qPrintable(error));
        if (ewfAcquire(m_tmp.filePath(QStringLiteral("small.img")), m_tmp.filePath(QStringLiteral("e01/case")),
                       {QStringLiteral("-c"), QStringLiteral("fast")}, &error))
            m_e01 = m_tmp.filePath(QStringLiteral("e01/case.E01"));
    }

    void cleanup() { w.reset(); }

    // Opened at start as from the disk list: the drive's identity, every
    // recording korvath-cli lists, one lane per channel.
    void openListsWhatTheCliLists_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("shown"); // in the source's identity
        QTest::newRow("raw image") << "raw" << "raw image";
        QTest::newRow("drive list") << "drive" << "given as 3";
        QTest::newRow("E01") << "e01" << "stored MD5";
    }
    void openListsWhatTheCliLists()
    {
        QFETCH(QString, kind);
        QFETCH(QString, shown);
        QString source = m_sample;
        DriveMap drives;
        if (kind == QLatin1String("e01")) {
            if (m_e01.isEmpty())
                QSKIP("ewfacquire could not make an E01 here");
            source = m_e01;
        } else if (kind == QLatin1String("drive")) {
            drives.set(3, m_sample);
            DriveDialog dialog;
            QSignalSpy listed(&dialog, &DriveDialog::listed);
            QVERIFY(listed.wait(30000));
            QTreeWidget *list = dialog.list();
            QCOMPARE(list->topLevelItemCount(), 1);
            QCOMPARE(list->topLevelItem(0)->text(4), QStringLiteral("recorder disk"));
            QCOMPARE(list->topLevelItem(0)->text(5), m_sample);
            source = dialog.chosenDrive();
            QCOMPARE(source, QStringLiteral("3"));
        }
        openWindow(source);
        const QString identity = w->identity()->text();
        QVERIFY2(identity.contains(kind == QLatin1String("e01") ? m_e01 : m_sample) && identity.contains(shown)
                     && identity.contains(QStringLiteral("recorder disk")),
                 qPrintable(identity));

        // The drive map lives in this process only: korvath-cli reads the file behind drive 3.
        const ProcessRun cli = runCli({QStringLiteral("list"), kind == QLatin1String("drive") ? m_sample : source,
                                       QStringLiteral("--channel"), QStringLiteral("all")});
        QCOMPARE(cli.code, 0);
        QStringList expected;
        for (const QString &line : cli.outLines())
            expected << line.section(QLatin1Char('\t'), 1, 1);
        QStringList listed;
        for (int r = 0; r < w->table()->model()->rowCount(); ++r)
            listed << w->table()->model()->index(r, RecordingModel::Name).data().toString();
        listed.sort();
        expected.sort();
        QCOMPARE(listed, expected);
        QCOMPARE(w->timeline()->lanes(), (QVector<uint32_t>{0, 1, 2}));
        for (int r = 0; r < w->model()->rowCount(); ++r)
            QVERIFY(!w->timeline()->barRect(r).isEmpty());
    }

    // A clock offset from one observed pair shifts the true times just as
    // korvath-cli's --clock-offset does; the filter by channel keeps one lane's rows.
    void clockOffsetAndChannelFilter()
    {
        openWindow(m_sample);
        QTimer::singleShot(0, [] {
            auto *dialog = qobject_cast<CaseDialog *>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            dialog->findChild<QComboBox *>(QStringLiteral("clockKind"))->setCurrentIndex(2);
            dialog->findChild<QDateTimeEdit *>(QStringLiteral("recorderTime"))->setDateTime(QDateTime(QDate(2024, 3, 1), QTime(10, 3, 12), Qt::UTC));
            dialog->findChild<QDateTimeEdit *>(QStringLiteral("trueTime"))->setDateTime(QDateTime(QDate(2024, 3, 1), QTime(10, 0, 0), Qt::UTC));
            QCOMPARE(dialog->findChild<QLabel *>(QStringLiteral("offsetShown"))->text(), QStringLiteral("+00:03:12"));
            dialog->findChild<QLineEdit *>(QStringLiteral("caseNumber"))->setText(QStringLiteral("2024/117"));
            dialog->accept();
        });
        w->action(QStringLiteral("caseDetails"))->trigger();
        QCOMPARE(w->caseInfo().offset(), 192);
        QVERIFY(w->identity()->text().contains(QStringLiteral("+00:03:12")));

        w->findChild<QComboBox *>(QStringLiteral("channel"))->setCurrentIndex(1); // CAM1
        const ProcessRun cli = runCli({QStringLiteral("list"), m_sample, QStringLiteral("--channel"), QStringLiteral("1"),
                                       QStringLiteral("--clock-offset"), QStringLiteral("+00:03:12")});
        QCOMPARE(cli.code, 0);
        QAbstractItemModel *shown = w->table()->model();
        QCOMPARE(shown->rowCount(), cli.outLines().size());
        QStringList rows;
        for (int r = 0; r < shown->rowCount(); ++r)
            rows << QStringList{shown->index(r, RecordingModel::Name).data().toString(),
                                shown->index(r, RecordingModel::Clusters).data().toString(),
                                QString::number(w->model()->rows()[w->filter()->mapToSource(shown->index(r, 0)).row()].bytes),
                                shown->index(r, RecordingModel::TrueStart).data().toString(),
                                shown->index(r, RecordingModel::TrueEnd).data().toString()}.join(QLatin1Char('\t'));
        QCOMPARE(rows, cli.outLines());
    }

    // A window dragged across the lanes chooses what touches it; the export
    // with SHA-256, MP4 and report writes what korvath-cli writes for that range.
    void timeWindowExportMatchesTheCli()
    {
        openWindow(m_sample);
        Timeline *t = w->timeline();
        const qint64 day = kEpoch.secsTo(QDateTime(QDate(2024, 3, 1), QTime(0, 0), Qt::UTC));
        t->setView(double(day + 7 * 3600), double(day + 14 * 3600));
        const int y = t->barRect(0).center().y();
        QTest::mousePress(t, Qt::LeftButton, Qt::ShiftModifier, QPoint(t->xAt(day + 8 * 3600 + 600), y));
        QTest::mouseMove(t, QPoint(t->xAt(day + 10 * 3600), y));
        QTest::mouseRelease(t, Qt::LeftButton, Qt::ShiftModifier, QPoint(t->xAt(day + 12 * 3600 + 35 * 60), y));
        QVERIFY(w->filter()->from() && w->filter()->to());
        const QStringList range{QStringLiteral("--channel"), QStringLiteral("all"), QStringLiteral("--from"),
                                stamp(*w->filter()->from()), QStringLiteral("--to"), stamp(*w->filter()->to())};
        const ProcessRun listed = runCli(QStringList{QStringLiteral("list"), m_sample} + range);
        QStringList expected;
        for (const QString &line : listed.outLines())
            expected << line.section(QLatin1Char('\t'), 1, 1);
        QCOMPARE(expected.size(), 3); // 08:00 and 12:30 of CAM1, 09:15 of CAM2
        QCOMPARE(w->chosenNames(), expected);

        const QString mine = m_tmp.filePath(QStringLiteral("window")), theirs = m_tmp.filePath(QStringLiteral("cli"));
        QVERIFY(QDir().mkpath(mine) && QDir().mkpath(theirs));
        exportTo(mine, true, true);
        const ProcessRun cli = runCli(QStringList{QStringLiteral("export"), m_sample, QStringLiteral("--out"), theirs,
                                                  QStringLiteral("--sha256"), QStringLiteral("--mp4"), QStringLiteral("--report"),
                                                  theirs + QStringLiteral("/case.xml")} + range);
        QCOMPARE(cli.code, 0);
        // The reports differ only in who ran what when; both are there.
        const QStringList reports{QStringLiteral("case.xml"), QStringLiteral("case.html")};
        for (const QString &r : reports)
            QVERIFY(QFileInfo(mine + QLatin1Char('/') + r).size() > 0);
        const QMap<QString, QByteArray> written = filesBelow(mine, reports);
        QCOMPARE(written.keys(), filesBelow(theirs, reports).keys());
        QCOMPARE(written.size(), 6); // three native copies, three MP4s
        for (auto it = written.begin(); it != written.end(); ++it)
            if (it.key().endsWith(QLatin1String(".h264")))
                QCOMPARE(it.value(), fileBytes(theirs + QLatin1Char('/') + it.key()));
        QCOMPARE(summaryHashes(), hashLines(cli.outLines()));
        QCOMPARE(w->exportSummary()->files()->findItems(QStringLiteral("case."), Qt::MatchStartsWith).size(), 2);
        QVERIFY(w->exportSummary()->problems()->toPlainText().contains(QStringLiteral("Nothing was lost")));
        w->exportSummary()->close();

        // Again into the same folder: nothing is replaced without asking.
        const QFileInfo before(mine + QLatin1Char('/') + expected.first().section(QLatin1Char('_'), -1).chopped(5) + QLatin1Char('/') + expected.first());
        QVERIFY(before.exists());
        const QDateTime modified = before.lastModified();
        const QList<ModalBox> boxes = runWithModalBoxes([&] { w->action(QStringLiteral("export"))->trigger(); }, [&](QWidget *box) {
            if (auto *options = qobject_cast<ExportOptionsDialog *>(box))
                options->accept();
            else if (auto *mb = qobject_cast<QMessageBox *>(box))
                mb->button(QMessageBox::No)->click();
        });
        QVERIFY2(messageBoxes(boxes).size() == 1, qPrintable(boxes.isEmpty() ? QString() : boxes.last().className));
        QVERIFY(messageBoxes(boxes).first().text.contains(QStringLiteral("8 files exist already")));
        QVERIFY(!w->exportProgress());
        QCOMPARE(QFileInfo(before.filePath()).lastModified(), modified);
    }

    // Cancel after the first file: what was written is whole, nothing is cut
    // off, and the summary names what was not reached. Read through a drive
    // that answers slowly, so that the export is still running.
    void cancelLeavesNothingCutOff()
    {
        if (!FaultMount::unavailableReason().isEmpty())
            QSKIP(qPrintable(FaultMount::unavailableReason()));
        std::unique_ptr<FaultMount> mount;
        openSlowSampleChoosingAll(mount);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(w->chosenNames().size(), 6);
        const QString out = m_tmp.filePath(QStringLiteral("cancelled"));
        QVERIFY(QDir().mkpath(out));
        exportTo(out, false, false, [](ExportProgressDialog *progress) {
            auto *poll = new QTimer(progress);
            QObject::connect(poll, &QTimer::timeout, progress, [progress] {
                for (const JobEvent &e : progress->events())
                    if (e.kind == JobEvent::FileWritten)
                        return progress->findChild<QPushButton *>(QStringLiteral("cancelExport"))->click();
            });
            poll->start(5);
        });
        const QMap<QString, QString> hashes = summaryHashes();
        QVERIFY(!hashes.isEmpty() && hashes.size() < 6);
        const QMap<QString, QByteArray> files = filesBelow(out);
        QCOMPARE(files.keys(), hashes.keys()); // no .part, nothing else
        for (auto it = files.begin(); it != files.end(); ++it)
            QCOMPARE(sha256Hex(it.value()), hashes.value(it.key()));
        QVERIFY(w->exportSummary()->problems()->toPlainText().contains(QStringLiteral("not written: the export was stopped by")));
    }

    // A source with unreadable sectors: the summary names the file and its loss.
    void lossesAreNamedInTheSummary()
    {
        if (!FaultMount::unavailableReason().isEmpty())
            QSKIP(qPrintable(FaultMount::unavailableReason()));
        openWindow(m_sample);
        const Listing &listing = w->current()->listing.listing;
        const Recording r = *orderedRecordings(listing).first();
        const uint64_t first = clusterSector(listing.info.data_offset, r.clusters[0]);
        w.reset();
        Faults bad;
        bad.bad = {{first + 100, first + 107}};
        FaultMount mount(m_sample, bad);
        QVERIFY2(mount.isMounted(), qPrintable(mount.error()));
        openWindow(mount.path());
        chooseRow(0);
        QVERIFY2(w->chosenNames() == QStringList{r.name}, qPrintable(w->chosenNames().join(',') + " rows " + QString::number(w->table()->model()->rowCount())));
        const QString out = m_tmp.filePath(QStringLiteral("losses"));
        QVERIFY(QDir().mkpath(out));
        exportTo(out, false, false);
        const QString problems = w->exportSummary()->problems()->toPlainText();
        QVERIFY2(problems.contains(r.name) && problems.contains(QStringLiteral("8 of")), qPrintable(problems));
        QCOMPARE(summaryHashes().size(), 1); // kept, with its loss named
        const QString losses = w->table()->model()->index(0, RecordingModel::Losses).data().toString();
        QVERIFY2(losses.startsWith(QStringLiteral("8 of ")), qPrintable(losses));
        QCOMPARE(w->table()->model()->index(1, RecordingModel::Losses).data().toString(), QStringLiteral("not read yet"));
    }

    // What cannot be opened, or listed whole, is said in a box.
    void openFailures_data()
    {
        QTest::addColumn<QString>("source"); // "fault": the small disk with a directory sector failing
        QTest::addColumn<bool>("opens");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("said");
        QTest::newRow("no such file") << "/nonexistent/disk.img" << false << "Open" << "cannot open '/nonexistent/disk.img'";
        QTest::newRow("a folder") << "/tmp" << false << "Open" << "is a folder";
        QTest::newRow("unreadable directory") << "fault" << true << "List" << "1 sector of the directory could not be read";
        QTest::newRow("two recordings, one name") << "twins" << true << "List" << "names two recordings";
        QTest::newRow("Esc while the directory is read") << "stopped" << false << "Open" << "was stopped; nothing of it is listed";
    }
    void openFailures()
    {
        QFETCH(QString, source);
        QFETCH(bool, opens);
        QFETCH(QString, title);
        QFETCH(QString, said);
        std::unique_ptr<FaultMount> mount;
        if (source == QLatin1String("fault")) {
            if (!FaultMount::unavailableReason().isEmpty())
                QSKIP(qPrintable(FaultMount::unavailableReason()));
            // Records 16 to 31, which hold all three recordings of the small disk.
            const uint64_t records = ImageBuilder(64 * 4096).directorySector() + 1;
            Faults bad;
            bad.bad = {{records, records}};
            mount = std::make_unique<FaultMount>(m_tmp.filePath(QStringLiteral("small.img")), bad);
            QVERIFY2(mount->isMounted(), qPrintable(mount->error()));
            source = mount->path();
        }
        if (source == QLatin1String("stopped")) {
            if (!FaultMount::unavailableReason().isEmpty())
                QSKIP(qPrintable(FaultMount::unavailableReason()));
            // A directory of several pieces (a sparse 512 GiB disk) read slowly: Esc after the first.
            ImageBuilder large(uint64_t(1) << 30);
            large.recorderSignature();
            QVERIFY(large.write(m_tmp.filePath(QStringLiteral("large.img"))));
            Faults slow;
            slow.slow = {{large.directorySector(), large.directorySector() + large.layout().dir_size}};
            slow.slowMs = 20;
            mount = std::make_unique<FaultMount>(m_tmp.filePath(QStringLiteral("large.img")), slow);
            QVERIFY2(mount->isMounted(), qPrintable(mount->error()));
            source = mount->path();
        }
        if (source == QLatin1String("twins")) {
            ImageBuilder twins(64 * 4096);
            twins.recorderSignature();
            twins.recording(0, sampleTime(8, 0), sampleTime(8, 10), {20, 21}, 0x100);
            twins.recording(0, sampleTime(8, 0), sampleTime(8, 10), {30}, 0x101);
            source = m_tmp.filePath(QStringLiteral("twins.img"));
            QVERIFY(twins.write(source));
        }
        w.reset(new CaseWindow);
        w->show();
        QSignalSpy opened(w.get(), &CaseWindow::opened);
        const QList<ModalBox> boxes = runWithModalBoxes([&] {
            w->openSource(source);
            if (QTest::currentDataTag() == QByteArray("Esc while the directory is read")) {
                auto *bar = w->findChild<QProgressBar *>();
                QTRY_VERIFY_WITH_TIMEOUT(bar->maximum() == 1000 && bar->value() > 0, 60000); // the first piece is in
                QTest::keyClick(w.get(), Qt::Key_Escape);
            }
            QVERIFY(opened.wait(60000));
        });
        QCOMPARE(opened.first().first().toBool(), opens);
        QCOMPARE(messageBoxes(boxes).size(), 1);
        QCOMPARE(messageBoxes(boxes).first().title, title);
        QVERIFY2(messageBoxes(boxes).first().text.contains(said), qPrintable(messageBoxes(boxes).first().text));
        if (opens) // nothing listed where the directory failed; both twins kept
            QCOMPARE(w->model()->rowCount(), source.endsWith(QLatin1String("twins.img")) ? 2 : 0);
    }

    // The case's details and the clock reading reach the report as given.
    void caseDetailsReachTheReport()
    {
        openWindow(m_sample);
        CaseInfo info;
        info.details.caseNumber = QStringLiteral("2024/117");
        info.details.exhibit = QStringLiteral("JD/3");
        info.details.examiner = QStringLiteral("J. Doe");
        info.details.notes = QStringList{QStringLiteral("seized at the shop"), QStringLiteral("4 channels")};
        info.clockObservation = ClockObservation{200, 8};
        w->setCaseInfo(info);
        chooseRow(0);
        const QString out = m_tmp.filePath(QStringLiteral("report"));
        QVERIFY(QDir().mkpath(out));
        exportTo(out, false, true);
        CaseReport report;
        QString error;
        QVERIFY2(readDfxmlReport(out + QStringLiteral("/case.xml"), &report, &error), qPrintable(error));
        QCOMPARE(report.program, QStringLiteral("korvath-case"));
        QCOMPARE(report.caseDetails.caseNumber, info.details.caseNumber);
        QCOMPARE(report.caseDetails.exhibit, info.details.exhibit);
        QCOMPARE(report.caseDetails.examiner, info.details.examiner);
        QCOMPARE(report.caseDetails.notes, info.details.notes);
        QCOMPARE(report.clockObservation, info.clockObservation);
        QCOMPARE(report.clockOffset, std::optional<qint64>(192));
        QCOMPARE(report.files.size(), size_t(1));
    }

    // Nothing chosen, or no folder: said, and nothing is written.
    void exportRefusals()
    {
        openWindow(m_sample);
        QList<ModalBox> boxes = runWithModalBoxes([&] { w->action(QStringLiteral("export"))->trigger(); });
        QCOMPARE(messageBoxes(boxes).size(), 1);
        QVERIFY(messageBoxes(boxes).first().text.startsWith(QStringLiteral("Choose the recordings")));
        chooseRow(0);
        QPointer<ExportOptionsDialog> asked;
        boxes = runWithModalBoxes([&] { w->action(QStringLiteral("export"))->trigger(); }, [&](QWidget *box) {
            if (auto *options = qobject_cast<ExportOptionsDialog *>(box)) {
                if (asked) {
                    options->reject();
                    return;
                }
                asked = options;
                options->findChild<QLineEdit *>(QStringLiteral("exportFolder"))->setText(m_tmp.filePath(QStringLiteral("none")));
                QMetaObject::invokeMethod(options, "accept", Qt::QueuedConnection); // its warning comes from the loop
            } else if (auto *mb = qobject_cast<QMessageBox *>(box)) {
                mb->button(QMessageBox::Ok)->click();
                if (asked)
                    asked->setProperty("korvathAnswered", false); // the dialog stays, to be looked at again
            }
        });
        QCOMPARE(messageBoxes(boxes).size(), 1);
        QVERIFY(messageBoxes(boxes).first().text.endsWith(QStringLiteral("none is not a folder.")));
        QVERIFY(!w->exportProgress() && !QFileInfo::exists(m_tmp.filePath(QStringLiteral("none"))));

        // A report named as the source (a disk image called disk.xml, beside it) is refused.
        const QString named = m_tmp.filePath(QStringLiteral("refusal/disk.xml"));
        QVERIFY(QDir().mkpath(QFileInfo(named).path()) && QFile::link(m_sample, named));
        openWindow(named);
        chooseRow(0);
        boxes = runWithModalBoxes([&] { w->action(QStringLiteral("export"))->trigger(); }, [&](QWidget *box) {
            if (auto *options = qobject_cast<ExportOptionsDialog *>(box)) {
                options->findChild<QLineEdit *>(QStringLiteral("exportFolder"))->setText(QFileInfo(named).path());
                options->findChild<QCheckBox *>(QStringLiteral("report"))->setChecked(true);
                options->findChild<QLineEdit *>(QStringLiteral("reportName"))->setText(QStringLiteral("disk.xml"));
                options->accept();
            } else if (auto *mb = qobject_cast<QMessageBox *>(box)) {
                mb->button(QMessageBox::Ok)->click();
            }
        });
        QCOMPARE(messageBoxes(boxes).size(), 1);
        QVERIFY2(messageBoxes(boxes).first().text.contains(QStringLiteral("is the source")), qPrintable(messageBoxes(boxes).first().text));
        QCOMPARE(QFileInfo(named).symLinkTarget(), m_sample);
        QCOMPARE(QDir(QFileInfo(named).path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList{"disk.xml"});
    }

    // Closing the window while it exports: asked, stopped after the cluster in hand, nothing cut off.
    void closingDuringAnExport()
    {
        if (!FaultMount::unavailableReason().isEmpty())
            QSKIP(qPrintable(FaultMount::unavailableReason()));
        std::unique_ptr<FaultMount> mount;
        openSlowSampleChoosingAll(mount);
        if (QTest::currentTestFailed())
            return;
        const QString out = m_tmp.filePath(QStringLiteral("closed"));
        QVERIFY(QDir().mkpath(out));
        const QList<ModalBox> boxes = runWithModalBoxes([&] {
            w->action(QStringLiteral("export"))->trigger();
            QTRY_VERIFY_WITH_TIMEOUT(w->exportProgress() && !w->exportProgress()->events().isEmpty(), 60000);
            w->close();
        }, [&](QWidget *box) {
            if (auto *options = qobject_cast<ExportOptionsDialog *>(box)) {
                options->findChild<QLineEdit *>(QStringLiteral("exportFolder"))->setText(out);
                options->findChild<QCheckBox *>(QStringLiteral("report"))->setChecked(false);
                options->accept();
            } else if (auto *mb = qobject_cast<QMessageBox *>(box)) {
                mb->button(QMessageBox::Yes)->click();
            }
        });
        QCOMPARE(messageBoxes(boxes).size(), 1);
        QVERIFY(messageBoxes(boxes).first().text.startsWith(QStringLiteral("An export is running")));
        QVERIFY(!w->exportProgress());
        const QMap<QString, QByteArray> files = filesBelow(out);
        QVERIFY(!files.isEmpty() && files.size() < 6);
        // Each file is its recording's clusters as the image holds them.
        const Listing &listing = w->current()->listing.listing;
        for (auto it = files.begin(); it != files.end(); ++it) {
            const QString name = QFileInfo(it.key()).fileName();
            QVERIFY2(listing.recordings.contains(name), qPrintable(name));
            QByteArray expected;
            for (uint32_t c : listing.recordings.value(name).clusters)
                expected += readFileBytes(m_sample, clusterSector(listing.info.data_offset, c) * kSectorSize, kClusterBytes);
            QVERIFY(it.value() == expected);
        }
    }

    // Sorting follows the values, not the texts; every action has its own shortcut.
    void sortingAndShortcuts()
    {
        openWindow(m_sample);
        QTableView *table = w->table();
        table->sortByColumn(RecordingModel::TrueStart, Qt::AscendingOrder);
        QStringList starts;
        for (int r = 0; r < table->model()->rowCount(); ++r)
            starts << table->model()->index(r, RecordingModel::TrueStart).data().toString();
        QStringList sorted = starts;
        sorted.sort();
        QCOMPARE(starts, sorted);
        QCOMPARE(table->model()->index(0, RecordingModel::Channel).data().toString(), QStringLiteral("CAM1"));
        QCOMPARE(table->model()->index(1, RecordingModel::Channel).data().toString(), QStringLiteral("CAM2"));
        table->sortByColumn(RecordingModel::Size, Qt::DescendingOrder);
        QCOMPARE(table->model()->index(0, RecordingModel::Clusters).data().toInt(), 4);

        QSet<QString> keys;
        for (QAction *menu : w->menuBar()->actions())
            for (QAction *a : menu->menu()->actions())
                if (!a->isSeparator()) {
                    QVERIFY2(!a->shortcut().isEmpty(), qPrintable(a->text()));
                    QVERIFY2(!keys.contains(a->shortcut().toString()), qPrintable(a->text()));
                    keys.insert(a->shortcut().toString());
                }
        QVERIFY(keys.size() >= 14);
    }

    // The wheel zooms about the pointer, a plain drag pans without choosing,
    // and a bar's tooltip gives both clocks.
    void timelineZoomPanAndTooltip()
    {
        openWindow(m_sample);
        Timeline *t = w->timeline();
        const QRect bar = t->barRect(0);
        const double under = t->timeAt(bar.center().x()), span = t->viewTo() - t->viewFrom();
        QWheelEvent wheel(QPointF(bar.center()), QPointF(t->mapToGlobal(bar.center())), {}, QPoint(0, 240),
                          Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(t, &wheel);
        QVERIFY(t->viewTo() - t->viewFrom() < span * 0.7);
        QVERIFY(std::abs(t->timeAt(bar.center().x()) - under) < 60);

        const double from = t->viewFrom();
        QTest::mousePress(t, Qt::LeftButton, {}, QPoint(300, bar.center().y()));
        QMouseEvent move(QEvent::MouseMove, QPointF(200, bar.center().y()), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(t, &move); // QTest's move carries no button
        QTest::mouseRelease(t, Qt::LeftButton, {}, QPoint(200, bar.center().y()));
        QVERIFY(t->viewFrom() > from);
        QVERIFY(!w->filter()->from() && w->chosenNames().isEmpty());

        // Between CAM1's 08:00-08:14 and 12:30-12:41 the lane is empty.
        const qint64 day = kEpoch.secsTo(QDateTime(QDate(2024, 3, 1), QTime(0, 0), Qt::UTC));
        t->fit();
        QCOMPARE(t->gapText(QPoint(t->xAt(day + 10 * 3600), t->barRect(0).center().y())),
                 QStringLiteral("CAM1: nothing recorded from 2024-03-01 08:15:00 to 2024-03-01 12:29:59 (4:15:00)"));

        CaseInfo offset;
        offset.clockOffset = 192;
        w->setCaseInfo(offset);
        const QPoint at = t->barRect(0).center();
        QHelpEvent help(QEvent::ToolTip, at, t->mapToGlobal(at));
        QApplication::sendEvent(t, &help);
        QTRY_VERIFY(QToolTip::isVisible());
        const CaseRow &r = w->model()->rows()[0];
        QVERIFY2(QToolTip::text().contains(stamp(*r.start)) && QToolTip::text().contains(stamp(*r.start - 192)),
                 qPrintable(QToolTip::text()));
    }

    // Choosing another recording abandons the preview in hand.
    void previewOfTheChosenRecording()
    {
        openWindow(m_sample);
        QSignalSpy shown(w.get(), &CaseWindow::previewShown);
        chooseRow(0);
        chooseRow(3);
        const QString second = w->table()->model()->index(3, RecordingModel::Name).data().toString();
        QVERIFY(shown.wait(30000));
        QCOMPARE(shown.size(), 1);
        QVERIFY2(shown.first() == (QList<QVariant>{second, true}), qPrintable(w->previewState()->text()));
        QVERIFY(!w->previewPicture()->pixmap(Qt::ReturnByValue).isNull());
        QVERIFY2(w->previewState()->text().contains(QStringLiteral("6 of 6 frames")), qPrintable(w->previewState()->text()));
    }

    void geometryIsRemembered()
    {
        w.reset(new CaseWindow);
        w->setGeometry(40, 50, 1500, 950);
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        w->close();
        CaseWindow again;
        QCOMPARE(again.size(), QSize(1500, 950));
    }
};

QTEST_MAIN(CaseWindowTest)
#include "casewindow_test.moc"
