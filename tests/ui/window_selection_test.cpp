// Choosing recordings in the file list: the export writes exactly the rows
// that show a check mark, however the marks were set.
#include "exportrig.h"

using namespace rig;

class WindowSelectionTest : public QObject
{
    Q_OBJECT

private slots:
    void exportsTheCheckedRows_data()
    {
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QList<int>>("expected");
        QTest::newRow("select all") << QStringList{"all"} << QList<int>{0, 1, 2, 3};
        QTest::newRow("select all, unselect all") << QStringList{"all", "all"} << QList<int>{};
        QTest::newRow("box once") << QStringList{"box 2"} << QList<int>{2};
        QTest::newRow("box twice") << QStringList{"box 1", "box 1"} << QList<int>{};
        QTest::newRow("box three times") << QStringList{"box 1", "box 1", "box 1"} << QList<int>{1};
        QTest::newRow("text once") << QStringList{"text 0", "text 3"} << QList<int>{0, 3};
        QTest::newRow("text after box") << QStringList{"box 0", "text 0"} << QList<int>{};
        QTest::newRow("text, box, text") << QStringList{"text 1", "box 1", "text 1"} << QList<int>{1};
        QTest::newRow("all, then a text off") << QStringList{"all", "text 1"} << QList<int>{0, 2, 3};
        QTest::newRow("space") << QStringList{"space 3"} << QList<int>{3};
        QTest::newRow("space twice") << QStringList{"space 1", "box 2", "space 1"} << QList<int>{2};
        QTest::newRow("all, then one off") << QStringList{"all", "box 2"} << QList<int>{0, 1, 3};
        QTest::newRow("two, then all") << QStringList{"box 1", "box 3", "all"} << QList<int>{0, 1, 2, 3};
        QTest::newRow("rescan clears") << QStringList{"box 0", "box 1", "rescan"} << QList<int>{};
        QTest::newRow("rescan after all") << QStringList{"all", "rescan", "box 3"} << QList<int>{3};
    }

    void exportsTheCheckedRows()
    {
        QFETCH(QStringList, steps);
        QFETCH(QList<int>, expected);
        Rig r;
        ImageBuilder b(kImageSectors);
        b.recorderSignature();
        QStringList names;
        for (uint32_t k = 0; k < 4; ++k)
            names << addRecording(b, k, {5 + k});
        r.addDisk(0, b);
        r.open();
        QCOMPARE(r.rows()->rowCount(), 4);

        QListView *files = r.view("file_listView");
        LogCapture log;
        QStringList clicked;
        for (const QString &step : steps) {
            const int row = step.section(' ', 1).toInt();
            if (step == "all")
                r.all()->click();
            else if (step == "rescan")
                QCOMPARE(messageBoxes(r.generate()).size(), 0);
            else if (step.startsWith("box") || step.startsWith("text")) {
                r.clickRow(files, row, step.startsWith("box"));
                clicked << QStringLiteral("item string \"%1\"").arg(names[row]);
            }
            else if (step.startsWith("space")) {
                files->setCurrentIndex(r.rows()->index(row, 0));
                QTest::keyClick(files, Qt::Key_Space);
            }
        }
        QStringList want;
        for (int k : expected)
            want << names[k];
        QCOMPARE(r.checkedRows(), want);
        QCOMPARE(log.lines().filter("item string"), clicked); // every click, on the box or the text

        const bool allBefore = r.all()->isChecked();
        const QList<ModalBox> boxes = messageBoxes(r.exportNow());
        QCOMPARE(r.all()->isChecked(), allBefore); // the export leaves the box as it was
        QCOMPARE(r.exported(), want);
        if (want.isEmpty()) {
            QCOMPARE(boxes.size(), 1);
            QCOMPARE(boxes[0].title, QStringLiteral("Fi;e list"));
            QCOMPARE(boxes[0].text, QStringLiteral("No files to be recovered"));
            QCOMPARE(boxes[0].icon, int(QMessageBox::Warning));
        } else {
            QCOMPARE(boxes.size(), 0);
            for (const QString &name : want)
                QCOMPARE(QFileInfo(r.file(name)).size(), qint64(korvath::kClusterBytes));
            // Written rows lose their mark, so the next press has nothing to do.
            QCOMPARE(r.checkedRows(), QStringList());
        }
    }

    // A disk picked and a channel typed after the scan change nothing that
    // was listed: the bytes come from the scanned disk, into its folder.
    void exportsFromTheScannedDisk()
    {
        Rig r;
        ImageBuilder listed(kImageSectors);
        listed.recorderSignature();
        const QString name = addRecording(listed, 0, {9, 4});
        ImageBuilder other(kImageSectors);
        other.recorderSignature();
        addRecording(other, 0, {20}); // same name, other clusters; 9 and 4 hold zeros here
        r.addDisk(0, listed);
        r.addDisk(1, other);
        r.open(0);
        r.all()->click();

        r.clickRow(r.view("disk_listView"), 1, false);
        r.w->findChild<QLineEdit *>("channel_lineEdit")->setText("7");
        QCOMPARE(messageBoxes(r.exportNow()).size(), 0);

        QCOMPARE(r.exported(1), QStringList{name});
        QVERIFY(!QFileInfo::exists(r.folder(7)));
        const QByteArray bytes = fileBytes(r.file(name));
        QCOMPARE(bytes.size(), int(2 * korvath::kClusterBytes));
        QVERIFY(bytes == ImageBuilder::clusterPattern(9) + ImageBuilder::clusterPattern(4));
    }
};

QTEST_MAIN(WindowSelectionTest)
#include "window_selection_test.moc"
