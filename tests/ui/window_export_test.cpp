// "Start export" in the real window: refusals, the progress dialog, the bytes
// written, cancel, and the one warning that names what could not be recovered.
#include "exportrig.h"

#include "faultmount.h"
#include "userinput.h"

#include <QProgressBar>
#include <QTimer>

using namespace rig;

namespace {

// Runs `act` on each debug line as it is written, in the middle of whatever
// writes it; the lines still reach a LogCapture made before it.
struct LogHook {
    static LogHook *current;
    std::function<void(const QString &)> act;
    QtMessageHandler previous;

    explicit LogHook(std::function<void(const QString &)> a) : act(std::move(a))
    {
        current = this, previous = qInstallMessageHandler(handle);
    }
    ~LogHook() { qInstallMessageHandler(previous), current = nullptr; }

    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &message)
    {
        current->act(message);
        if (current->previous)
            current->previous(type, context, message);
    }
};
LogHook *LogHook::current = nullptr;

// Reads the progress dialog's settings and every value set on it: the walk
// logs its size right after setting the dialog up.
struct DialogProbe {
    QWidget *window;
    QStringList settings;
    QList<int> values;
    LogHook hook{[this](const QString &line) {
        if (line.startsWith(QLatin1String("size++++++++:")))
            look();
    }};

    explicit DialogProbe(QWidget *w) : window(w) {}
    void look()
    {
        auto *pd = window->findChild<QProgressDialog *>();
        QVERIFY(pd);
        settings = QStringList{pd->windowTitle(), pd->labelText(), pd->findChild<QPushButton *>()->text(),
                               pd->font().family(), QString::number(pd->font().pointSize()),
                               QString::number(pd->windowModality()), QString::number(pd->minimumDuration()),
                               QString::number(pd->minimum()), QString::number(pd->maximum())};
        QObject::connect(pd->findChild<QProgressBar *>(), &QProgressBar::valueChanged, [this](int v) { values << v; });
    }
};

QStringList indexLines(const LogCapture &log)
{
    return log.lines().filter(QStringLiteral("index++++++++:"));
}

void noDialogLeft(Korvath *w)
{
    QTest::qWait(50); // a dialog that was only hidden would show itself by now
    QCOMPARE(w->findChildren<QProgressDialog *>().size(), 0);
}

} // namespace

class WindowExportTest : public QObject
{
    Q_OBJECT

private slots:
    void refusals_data()
    {
        QTest::addColumn<bool>("saveChosen");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("text");
        QTest::newRow("no save path") << false << "Save path" << "The file path is empty. Please set path";
        QTest::newRow("nothing chosen") << true << "Fi;e list" << "No files to be recovered";
    }

    void refusals()
    {
        QFETCH(bool, saveChosen);
        QFETCH(QString, title);
        QFETCH(QString, text);
        Rig r;
        ImageBuilder b(kImageSectors);
        b.recorderSignature();
        addRecording(b, 0, {5});
        r.addDisk(0, b);
        r.open(0, saveChosen);
        if (!saveChosen)
            r.all()->click();
        LogCapture log;
        for (int press = 0; press < 2; ++press) {
            const QList<ModalBox> boxes = r.exportNow();
            QCOMPARE(boxes.size(), 1);
            QCOMPARE(boxes[0].className, QStringLiteral("QMessageBox"));
            QCOMPARE(boxes[0].title, title);
            QCOMPARE(boxes[0].text, text);
            QCOMPARE(boxes[0].icon, int(QMessageBox::Warning));
        }
        QCOMPARE(QDir(r.save).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 saveChosen ? QStringList{"CAM1"} : QStringList());
        QCOMPARE(r.exported(), QStringList());
        const QString newDir = QStringLiteral("newDir \"%1//CAM1\"").arg(r.save);
        QCOMPARE(log.lines().count(newDir), saveChosen ? 2 : 0);
        QCOMPARE(log.lines().count(QStringLiteral("Folder is created")), saveChosen ? 1 : 0); // only while missing
        QVERIFY(log.lines().filter(QStringLiteral("size++++++++:")).isEmpty());
    }

    void progressAndBytes_data()
    {
        QTest::addColumn<int>("n");
        QTest::addColumn<QList<int>>("values");
        QTest::addColumn<uint32_t>("partitionStart"); // moves the directory, not the clusters
        QTest::newRow("1") << 1 << QList<int>{0} << 0u;
        QTest::newRow("2, after a partition table") << 2 << QList<int>{0, 2} << 63u;
        QTest::newRow("3") << 3 << QList<int>{0, 1, 3} << 0u;
        QTest::newRow("5") << 5 << QList<int>{0, 1, 2, 3, 5} << 0u;
    }

    // Recordings of one and of three clusters (in chain order, not ascending).
    void progressAndBytes()
    {
        QFETCH(int, n);
        QFETCH(QList<int>, values);
        QFETCH(uint32_t, partitionStart);
        Rig r;
        ImageBuilder b(kImageSectors);
        if (partitionStart)
            b.masterBootRecord(partitionStart);
        else
            b.recorderSignature();
        QMap<QString, std::vector<uint32_t>> chains;
        for (uint32_t k = 0; k < uint32_t(n); ++k) {
            const uint32_t c = 30 + 3 * k;
            const std::vector<uint32_t> chain = k % 2 ? std::vector<uint32_t>{c + 2, c, c + 1} : std::vector<uint32_t>{c};
            chains.insert(addRecording(b, k, chain), chain);
        }
        r.addDisk(0, b);
        r.open();
        r.all()->click();
        LogCapture log;
        DialogProbe probe(r.w.get());
        QCOMPARE(messageBoxes(r.exportNow()).size(), 0);

        QStringList lines;
        for (int v : values)
            lines << QStringLiteral("index++++++++: %1").arg(v);
        QCOMPARE(indexLines(log), lines);
        QCOMPARE(probe.values, values);
        QCOMPARE(probe.settings, (QStringList{"Wait", "Reading... ", "Cancel", "ZYSong18030", "12",
                                              QString::number(Qt::WindowModal), "5", "0", QString::number(n)}));
        QVERIFY(log.contains(QStringLiteral("size++++++++: %1").arg(n)));
        QCOMPARE(r.exported(), chains.keys());
        for (auto it = chains.cbegin(); it != chains.cend(); ++it) {
            const QByteArray got = fileBytes(r.file(it.key()));
            QCOMPARE(qint64(got.size()), qint64(korvath::kClusterBytes) * qint64(it.value().size()));
            QVERIFY2(got == imageClusters(r.image(0), it.value()), qPrintable(it.key()));
        }
        noDialogLeft(r.w.get());
    }

    // Cancel pressed in the dialog while it copies: what was done stays whole,
    // the recording in hand stops after its cluster and is named.
    void cancelKeepsCompletedFiles()
    {
        Rig r;
        ImageBuilder b(kImageSectors);
        b.recorderSignature();
        QStringList names;
        const int n = 12; // 10 MiB each, so that the dialog shows early in the walk
        for (uint32_t k = 0; k < uint32_t(n); ++k)
            names << addRecording(b, k, {4 + 5 * k, 5 + 5 * k, 6 + 5 * k, 7 + 5 * k, 8 + 5 * k});
        r.addDisk(0, b);
        r.open();
        r.all()->click();

        // Cancel is pressed once the walk has moved past the first recording
        // (the dialog may show during it, now that it is painted while copying).
        int cancelledAt = -1;
        const QList<ModalBox> boxes = r.exportNow(answer([&](QProgressDialog *pd) {
            const auto press = [&cancelledAt, pd](int v) {
                if (cancelledAt < 0 && v > 0) {
                    cancelledAt = v;
                    pd->findChild<QPushButton *>()->click();
                }
            };
            press(pd->value());
            QObject::connect(pd->findChild<QProgressBar *>(), &QProgressBar::valueChanged, pd, press);
        }));
        // Heard between two recordings, the walk just ends; heard during one,
        // that one is named in a warning.
        QVERIFY(boxes.size() == 1 || boxes.size() == 2);
        QCOMPARE(boxes[0].className, QStringLiteral("QProgressDialog"));
        QCOMPARE(boxes[0].title, QStringLiteral("Wait"));
        QCOMPARE(boxes[0].text, QStringLiteral("Reading... "));
        QVERIFY2(cancelledAt > 0 && cancelledAt < n - 1, qPrintable(QString::number(cancelledAt)));
        QCOMPARE(r.exported(), names.mid(0, cancelledAt));
        if (boxes.size() == 2) {
            QCOMPARE(boxes[1].title, QStringLiteral("Export"));
            QVERIFY2(boxes[1].text.contains(names[cancelledAt] + ": not written: the export was cancelled"),
                     qPrintable(boxes[1].text));
        }
        QVERIFY(QDir(r.folder()).entryList({"*.part"}, QDir::Files).isEmpty());
        for (const QString &name : r.exported())
            QCOMPARE(QFileInfo(r.file(name)).size(), qint64(5 * korvath::kClusterBytes));
        noDialogLeft(r.w.get());

        QCOMPARE(r.checkedRows(), names); // a cancelled export keeps the choice
        QCOMPARE(messageBoxes(r.exportNow()).size(), 0);
        QCOMPARE(r.exported(), names);
    }

    // One long recording: the dialog is painted while it copies, and Cancel
    // stops it after the cluster in hand; nothing is left under its name.
    void cancelDuringALongRecording()
    {
        Rig r;
        ImageBuilder b(kImageSectors);
        b.recorderSignature();
        std::vector<uint32_t> clusters;
        for (uint32_t c = 4; c < 44; ++c)
            clusters.push_back(c);
        const QString name = addRecording(b, 0, clusters);
        r.addDisk(0, b);
        r.open();
        r.all()->click();

        bool painted = false;
        const QList<ModalBox> boxes = r.exportNow(answer([&](QProgressDialog *pd) {
            painted = pd->isVisible();
            pd->findChild<QPushButton *>()->click();
        }));
        QVERIFY(painted);
        QCOMPARE(boxes.size(), 2);
        QCOMPARE(boxes[0].className, QStringLiteral("QProgressDialog"));
        QCOMPARE(boxes[1].title, QStringLiteral("Export"));
        QVERIFY2(boxes[1].text.contains(name + ": not written: the export was cancelled after "), qPrintable(boxes[1].text));
        QVERIFY2(boxes[1].text.contains("of 40 clusters"), qPrintable(boxes[1].text));
        QCOMPARE(r.exported(), QStringList());
        QVERIFY(QDir(r.folder()).entryList(QDir::Files).isEmpty()); // no final name, no temporary file
        QCOMPARE(r.checkedRows(), QStringList{name});
        noDialogLeft(r.w.get());
    }

    void failuresAreNamed_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::newRow("unreadable cluster only") << "none";
        QTest::newRow("file cannot be made") << "write";
        QTest::newRow("no folder") << "folder";
    }

    // Recording 1 has a cluster past the end of the drive; the fault comes on top.
    void failuresAreNamed()
    {
        QFETCH(QString, fault);
        Rig r;
        ImageBuilder b(kImageSectors);
        b.recorderSignature();
        const QStringList names = {addRecording(b, 0, {10}), addRecording(b, 1, {12, 200}), addRecording(b, 2, {14})};
        r.addDisk(0, b);
        r.open();
        r.all()->click();
        if (fault == "write") {
            QVERIFY(QDir().mkdir(r.folder()));
            QVERIFY(QDir().mkpath(r.file(names[2]) + ".part")); // its temporary file cannot be made
        } else if (fault == "folder") {
            QVERIFY(QDir(r.save).removeRecursively());
            QVERIFY(QFile(r.save).open(QIODevice::WriteOnly));
        }

        LogCapture log;
        const QList<ModalBox> boxes = messageBoxes(r.exportNow());
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes[0].title, QStringLiteral("Export"));
        QCOMPARE(boxes[0].icon, int(QMessageBox::Warning));
        // Said whenever the folder was missing, made or not.
        QCOMPARE(log.lines().count(QStringLiteral("Folder is created")), fault == "write" ? 0 : 1);
        const QString text = boxes[0].text;
        for (const QString &name : names)
            QCOMPARE(text.count(name), int(fault == "folder" || name == names[1] || (fault == "write" && name == names[2])));

        if (fault == "folder") {
            QVERIFY2(text.contains(QDir::toNativeSeparators(r.save) + " is a file, not a folder"), qPrintable(text));
            QCOMPARE(r.checkedRows(), names); // nothing done, so all stay chosen
            QVERIFY(QFile::remove(r.save) && QDir().mkdir(r.save));
            QCOMPARE(messageBoxes(r.exportNow()).size(), 1);
        } else {
            QVERIFY2(text.contains("4096 of 8192 sectors (cluster 200"), qPrintable(text));
        }
        if (fault == "write") {
            QVERIFY2(text.contains(names[2] + ": the file could not be created"), qPrintable(text));
            QVERIFY(QFileInfo(r.file(names[2]) + ".part").isDir()); // a folder is never removed
            QCOMPARE(r.checkedRows(), QStringList{names[2]}); // kept for another try
        }
        QCOMPARE(r.exported(), fault == "write" ? QStringList(names.mid(0, 2)) : names);
        QVERIFY(fileBytes(r.file(names[0])) == ImageBuilder::clusterPattern(10));
        QVERIFY(fileBytes(r.file(names[1])) == ImageBuilder::clusterPattern(12) + QByteArray(int(korvath::kClusterBytes), 0));
        if (fault != "write")
            QVERIFY(fileBytes(r.file(names[2])) == ImageBuilder::clusterPattern(14));
    }

    // The drive stops answering in the second recording: that one is kept
    // with zeros for what was not read, the third is not tried, and the
    // warning names both.
    void sourceThatStopsAnswering()
    {
        const QString why = FaultMount::unavailableReason();
        if (!why.isEmpty())
            QSKIP(qPrintable("no failing drive through FUSE: " + why));
        FaultDisk d;
        ImageBuilder &b = d.b;
        const std::vector<uint32_t> cut{20, 21, 22, 23, 24, 25, 26};
        const QStringList names{addRecording(b, 0, {10}), addRecording(b, 1, cut), addRecording(b, 2, {40, 41})};
        QVERIFY(d.mount(Faults{{}, {}, 0, int64_t(b.clusterFirstSector(22))})); // gone from the third cluster
        Rig r;
        r.drives.set(0, d.drive->path());
        r.open();
        r.all()->click();

        const QList<ModalBox> boxes = messageBoxes(r.exportNow());
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes[0].title, QStringLiteral("Export"));
        const QString text = boxes[0].text;
        QVERIFY2(text.startsWith("The source stopped answering: 3 clusters in a row could not be read at all"), qPrintable(text));
        QVERIFY2(text.contains(names[1] + ": 20480 of 28672 sectors (cluster 22: all 4096 sectors; cluster 23: all 4096 "
                                          "sectors; cluster 24: all 4096 sectors; 2 more clusters)"),
                 qPrintable(text));
        QVERIFY2(text.contains(names[2] + ": not read: the source had stopped answering"), qPrintable(text));
        QCOMPARE(r.exported(), names.mid(0, 2));
        QVERIFY(fileBytes(r.file(names[1])) ==
                imageClusters(d.image, {20, 21}) + QByteArray(5 * int(korvath::kClusterBytes), 0));
        QCOMPARE(r.checkedRows(), QStringList{names[2]}); // kept for another try
    }

    void cancelIsHeardWhereTheWalkLooks_data()
    {
        QTest::addColumn<int>("clusters"); // of the entry after whose check Cancel is pressed
        QTest::addColumn<int>("written");  // recordings written
        QTest::newRow("one cluster: copied whole, the next entry stops") << 1 << 2;
        QTest::newRow("three clusters: stopped after its first") << 3 << 1;
    }

    // Cancel pressed just after an entry has passed its check: the walk
    // hears it at the next entry's check, or between that entry's clusters.
    void cancelIsHeardWhereTheWalkLooks()
    {
        QFETCH(int, clusters);
        QFETCH(int, written);
        const QString why = FaultMount::unavailableReason();
        if (!why.isEmpty())
            QSKIP(qPrintable("no slow drive through FUSE: " + why));
        FaultDisk d;
        ImageBuilder &b = d.b;
        std::vector<uint32_t> second;
        for (uint32_t c = 20; c < 20 + uint32_t(clusters); ++c)
            second.push_back(c);
        const QStringList names{addRecording(b, 0, {4, 5, 6}), addRecording(b, 1, second), addRecording(b, 2, {30}),
                                addRecording(b, 3, {32})};
        Faults faults; // the first recording is slow, so that the dialog has shown itself after it
        faults.slow = {{b.clusterFirstSector(4), b.clusterFirstSector(6) + 4095}};
        faults.slowMs = 5;
        QVERIFY(d.mount(faults));
        Rig r;
        r.drives.set(0, d.drive->path());
        r.open();
        r.all()->click();

        bool pressed = false;
        const QList<ModalBox> boxes = [&] {
            LogHook hook([&](const QString &line) {
                if (line != QLatin1String("index++++++++: 1"))
                    return;
                auto *pd = r.w->findChild<QProgressDialog *>();
                QVERIFY(pd && pd->isVisible());
                QPushButton *cancel = pd->findChild<QPushButton *>();
                queueClick(cancel, cancel->rect().center());
                pressed = true;
            });
            return messageBoxes(r.exportNow());
        }();
        QVERIFY(pressed);
        QCOMPARE(r.exported(), names.mid(0, written));
        QVERIFY(QDir(r.folder()).entryList({"*.part"}, QDir::Files).isEmpty());
        if (written == 2) {
            QCOMPARE(boxes.size(), 0);
            QVERIFY(fileBytes(r.file(names[1])) == imageClusters(d.image, second));
        } else {
            QCOMPARE(boxes.size(), 1);
            QVERIFY2(boxes[0].text.contains(names[1] + ": not written: the export was cancelled after 1 of 3 clusters"),
                     qPrintable(boxes[0].text));
        }
        QCOMPARE(r.checkedRows(), names); // a cancelled export keeps the choice
    }

    // A read that hangs in the drive does not hold Cancel: the export ends
    // while the read is still unanswered, the recordings before it kept.
    void cancelWhileAReadHangs()
    {
        const QString why = FaultMount::unavailableReason();
        if (!why.isEmpty())
            QSKIP(qPrintable("no hanging drive through FUSE: " + why));
        FaultDisk d;
        ImageBuilder &b = d.b;
        const QStringList names{addRecording(b, 0, {4, 5, 6}), addRecording(b, 1, {20, 21}), addRecording(b, 2, {30})};
        Faults faults; // the first slow, so that the dialog shows; the second hangs
        faults.slow = {{b.clusterFirstSector(4), b.clusterFirstSector(6) + 4095}};
        faults.slowMs = 5;
        faults.hang = {{b.clusterFirstSector(21), b.clusterFirstSector(21) + 7}};
        QVERIFY(d.mount(faults));
        Rig r;
        r.drives.set(0, d.drive->path());
        r.open();
        r.all()->click();

        bool released = false;
        QTimer rescue; // a window that never hears Cancel fails here rather than hanging the suite
        rescue.setSingleShot(true);
        QObject::connect(&rescue, &QTimer::timeout, [&] {
            released = true;
            d.drive->release();
        });
        rescue.start(20000);
        const QList<ModalBox> boxes = [&] {
            LogHook hook([&](const QString &line) {
                if (line != QLatin1String("index++++++++: 1"))
                    return;
                QTimer::singleShot(300, [&] {
                    auto *pd = r.w->findChild<QProgressDialog *>();
                    QVERIFY(pd && pd->isVisible());
                    QPushButton *cancel = pd->findChild<QPushButton *>();
                    queueClick(cancel, cancel->rect().center());
                });
            });
            return messageBoxes(r.exportNow());
        }();
        QVERIFY2(!released, "Cancel waited for the hanging read");
        d.drive->release();
        QCOMPARE(r.exported(), names.mid(0, 1));
        QVERIFY(QDir(r.folder()).entryList({"*.part"}, QDir::Files | QDir::Hidden).isEmpty());
        QCOMPARE(boxes.size(), 1);
        QVERIFY2(boxes[0].text.contains(names[1] + ": not written: the export was cancelled"), qPrintable(boxes[0].text));
    }

    void inputDuringTheLastRecording_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("after"); // what the press opens once the export is over
        QTest::newRow("Refresh Disk") << "searchdisk_pushButton" << "";
        QTest::newRow("Save path") << "savepath_pushButton" << "QFileDialog";
        QTest::newRow("Generate file list") << "listfile_pushButton" << "";
        QTest::newRow("Start export") << "readfile_pushButton" << "Fi;e list";
        QTest::newRow("All") << "all" << "";
        QTest::newRow("a file row's box") << "file box" << "";
        QTest::newRow("a file row's text") << "file text" << "";
        QTest::newRow("the chosen disk's row") << "disk row" << "";
    }

    // Once the last entry has set the dialog to its maximum the dialog hides,
    // and the last recording is copied from a slow drive: a press of any
    // control then must wait until the export is over.
    void inputDuringTheLastRecording()
    {
        QFETCH(QString, target);
        QFETCH(QString, after);
        const QString why = FaultMount::unavailableReason();
        if (!why.isEmpty())
            QSKIP(qPrintable("no slow drive through FUSE: " + why));
        FaultDisk d;
        ImageBuilder &b = d.b;
        const QList<std::vector<uint32_t>> chains{{10}, {12, 13}, {20, 21, 22, 23}};
        QStringList names;
        for (int k = 0; k < chains.size(); ++k)
            names << addRecording(b, uint32_t(k), chains[k]);
        Faults faults;
        faults.slow = {{b.clusterFirstSector(20), b.clusterFirstSector(23) + 4095}};
        faults.slowMs = 5;
        QVERIFY(d.mount(faults));
        Rig r; // goes first, and its window closes the drive before the unmount
        r.drives.set(0, d.drive->path());
        r.open();
        r.all()->click();

        LogCapture log;
        bool pressed = false;
        const auto press = [&] {
            if (target == "all")
                return queueClick(r.all(), checkBoxPoint(r.all()));
            if (target.startsWith("file"))
                return queueClick(r.view("file_listView"), rowPoint(r.view("file_listView"), 1, target == "file box"));
            if (target == "disk row")
                return queueClick(r.view("disk_listView"), rowPoint(r.view("disk_listView"), 0, false));
            QAbstractButton *button = r.button(qPrintable(target));
            queueClick(button, button->rect().center());
        };
        const QString last = QStringLiteral("index++++++++: %1").arg(names.size());
        const QList<ModalBox> boxes = [&] {
            LogHook hook([&](const QString &line) {
                if (line == last && !pressed)
                    pressed = true, press();
            });
            return r.exportNow();
        }();
        QVERIFY(pressed);

        // Exactly an export without the press: no box, the bytes, the list,
        // the choice, and no line of any other part of the window.
        QCOMPARE(messageBoxes(boxes).size(), 0);
        QCOMPARE(r.exported(), names);
        for (int k = 0; k < names.size(); ++k)
            QVERIFY2(fileBytes(r.file(names[k])) == imageClusters(d.image, chains[k]), qPrintable(names[k]));
        QStringList listed;
        for (int row = 0; row < r.rows()->rowCount(); ++row)
            listed << r.rows()->item(row)->text();
        QCOMPARE(listed, names);
        QCOMPARE(r.checkedRows(), QStringList());
        QVERIFY(r.all()->isChecked()); // left as it was
        const QStringList own{"newDir", "Folder is created", "size++++++++:", "index++++++++:"};
        for (const QString &line : log.lines())
            QVERIFY2(std::any_of(own.begin(), own.end(), [&](const QString &p) { return line.startsWith(p); }),
                     qPrintable(line));
        QCOMPARE(indexLines(log).size(), names.size());

        // The press is not lost: it is taken once the export is over.
        const QList<ModalBox> later = runWithModalBoxes(deliverQueuedInput, answer());
        QCOMPARE(later.isEmpty() ? QString()
                                 : later[0].className == "QMessageBox" ? later[0].title : later[0].className,
                 after);
    }
};

QTEST_MAIN(WindowExportTest)
#include "window_export_test.moc"
