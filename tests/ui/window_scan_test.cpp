// The disk list, the search settings and "Generate file list", driven as a user would.
#include "exportrig.h"

using namespace rig;

class WindowScanTest : public QObject
{
    Q_OBJECT

    static QStringList texts(QStandardItemModel *m)
    {
        QStringList out;
        for (int r = 0; r < m->rowCount(); ++r)
            out << m->item(r)->text();
        return out;
    }
    static QStandardItemModel *model(QListView *v) { return qobject_cast<QStandardItemModel *>(v->model()); }

private slots:
    void diskRowsSkipGapsAndShowSizes()
    {
        Rig r;
        r.addDisk(0, ImageBuilder(976773168ull));                      // 500,107,862,016 bytes, plain
        r.addDisk(1, ImageBuilder(1953525168ull).recorderSignature()); // 1,000,204,886,016 bytes
        r.addDisk(3, ImageBuilder(2097151ull).masterBootRecord(2048)); // under 1 GiB
        LogCapture log;
        Korvath w;
        QStandardItemModel *m = model(w.findChild<QListView *>("disk_listView"));
        QCOMPARE(texts(m), (QStringList{"  Disk0---  Size:465G", "   Male disk1---  Size:931G", "  Disk3---  Size:0G"}));
        for (int i = 0; i < m->rowCount(); ++i) {
            const Qt::ItemFlags f = m->item(i)->flags();
            QVERIFY(f & Qt::ItemIsUserCheckable);
            QVERIFY(f & Qt::ItemIsSelectable);
            QVERIFY(f & Qt::ItemIsEnabled);
            QVERIFY(!(f & Qt::ItemIsEditable));
            QCOMPARE(m->item(i)->checkState(), Qt::Unchecked);
        }
        // Beside the two time lines, the refresh writes the signature check's
        // three lines per drive, and nothing else.
        QCOMPARE(log.lines().size(), 2 + 3 * m->rowCount());
        QCOMPARE(log.lines().filter(QStringLiteral("Check Disk ")).size(), m->rowCount());
    }

    void chooseReleaseSwitchAndRefresh()
    {
        Rig r;
        r.addDisk(0, ImageBuilder(8192).recorderSignature());
        r.addDisk(2, ImageBuilder(8192));
        r.w.reset(new Korvath);
        r.w->show();
        QVERIFY(QTest::qWaitForWindowExposed(r.w.get()));
        QListView *v = r.view("disk_listView");
        QStandardItemModel *m = model(v);
        LogCapture log;
        r.clickRow(v, 1, false);
        QCOMPARE(log.lines().mid(0, 4), (QStringList{"count: 2", "row: 1  m_curSelectItem: -1", "i= 0", "i= 1"}));
        QCOMPARE(m->item(1)->checkState(), Qt::Checked);
        QCOMPARE(m->item(0)->checkState(), Qt::Unchecked);
        // Drive 2's image is plain: the scan through its handle finds nothing.
        QList<ModalBox> boxes = messageBoxes(r.generate());
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes[0].title, QStringLiteral("List"));
        // Refresh: all rows unchecked, the choice stays; a click on the same row releases it.
        r.button("searchdisk_pushButton")->click();
        QCOMPARE(m->rowCount(), 2);
        QCOMPARE(m->item(1)->checkState(), Qt::Unchecked);
        log.clear();
        r.clickRow(v, 1, false);
        QCOMPARE(log.lines().value(1), QStringLiteral("row: 1  m_curSelectItem: 1"));
        QCOMPARE(m->item(1)->checkState(), Qt::Unchecked);
        boxes = messageBoxes(r.generate());
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes[0].title, QStringLiteral("  Disk"));
        QCOMPARE(boxes[0].text, QStringLiteral("No disk selected, select the disk according to the size"));
    }

    void channelTexts_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("logged");
        QTest::addColumn<QString>("boxTitle");
        QTest::newRow("1") << "1" << "m_channel: 0" << "";
        QTest::newRow("16") << "16" << "m_channel: 15" << "List";
        QTest::newRow("129") << "129" << "m_channel: 128" << "List";
        QTest::newRow("130") << "130" << "m_channel: 129" << "   Ch.";
        QTest::newRow("0") << "0" << "m_channel: -1" << "   Ch.";
        QTest::newRow("abc") << "abc" << "m_channel: -1" << "   Ch.";
        QTest::newRow("12abc") << "12abc" << "m_channel: -1" << "   Ch.";
        QTest::newRow("2^32") << "4294967296" << "m_channel: -1" << "   Ch.";
        QTest::newRow("2^32-1") << "4294967295" << "m_channel: -2" << "   Ch.";
        QTest::newRow("empty") << "" << "m_channel: -1" << "   Ch.";
    }

    void channelTexts()
    {
        QFETCH(QString, text);
        QFETCH(QString, logged);
        QFETCH(QString, boxTitle);
        Rig r;
        ImageBuilder b(kImageSectors);
        b.recorderSignature();
        const QString name = addRecording(b, 1, {5, 6});
        r.addDisk(0, b);
        r.open(0, false);
        QCOMPARE(texts(r.rows()), QStringList{name});
        LogCapture log;
        auto *field = r.w->findChild<QLineEdit *>("channel_lineEdit");
        field->setText(text);
        if (text != QLatin1String("1"))
            QCOMPARE(log.lines().last(), logged);
        const QList<ModalBox> boxes = messageBoxes(r.generate());
        if (boxTitle.isEmpty()) {
            QCOMPARE(boxes.size(), 0);
            QCOMPARE(texts(r.rows()), QStringList{name});
            return;
        }
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes[0].title, boxTitle);
        if (boxTitle == QLatin1String("List"))
            QCOMPARE(boxes[0].text, QStringLiteral("There is no file list or disk data has been corrupted and "
                                                   "unrecoverable. Confirm the parametr settings."));
        else
            QCOMPARE(boxes[0].text, QStringLiteral("The channel number is incorrect"));
        // Rows shown are always exactly the recordings that can be exported.
        QCOMPARE(r.rows()->rowCount(), 0);
    }

    void rowsAscendingUncheckedAndTheScanLog()
    {
        Rig r;
        ImageBuilder b(kImageSectors);
        b.recorderSignature();
        const QString third = addRecording(b, 30, {7});
        const QString first = addRecording(b, 10, {8, 9});
        const QString second = addRecording(b, 20, {10});
        addRecording(b, 40, {11}, 1); // channel 2
        r.addDisk(0, b);
        LogCapture log;
        r.open(0, false);
        QCOMPARE(texts(r.rows()), (QStringList{first, second, third}));
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(r.rows()->item(i)->checkState(), Qt::Unchecked);
            QVERIFY(!(r.rows()->item(i)->flags() & Qt::ItemIsEditable));
        }
        const QStringList lines = log.lines();
        const int firstWay = lines.indexOf(QStringLiteral("first way"));
        QVERIFY(firstWay > 0);
        QVERIFY(lines.indexOf(QRegularExpression(QStringLiteral("^offset1: \\d+$"))) >= 0);
        QVERIFY(lines.contains(QStringLiteral("start_sec: 0")));
        QVERIFY(lines.contains(QStringLiteral("filename: \"%1\"").arg(first)));
        QCOMPARE(lines.count(QStringLiteral("one file end")), 3);
        QCOMPARE(lines.count(QStringLiteral("time is true")), 3);
        QCOMPARE(lines.count(QStringLiteral("flag and channel is true")), 3);
    }

    void timeOrderWarning()
    {
        Rig r;
        r.w.reset(new Korvath);
        auto *start = r.w->findChild<QDateTimeEdit *>("starttime_dateTimeEdit");
        auto *end = r.w->findChild<QDateTimeEdit *>("endtime_dateTimeEdit");
        const QDateTime t(QDate(2024, 3, 1), QTime(10, 0, 5));
        LogCapture log;
        start->setDateTime(t);
        end->setDateTime(t);
        QCOMPARE(log.lines(), (QStringList{"stime: \"2024-03-01 10-00-05\"", " endtime: \"2024-03-01 10-00-05\""}));
        auto finish = [&] { return runWithModalBoxes([&] { QMetaObject::invokeMethod(end, "editingFinished"); }); };
        QCOMPARE(finish().size(), 0);
        start->setDateTime(t.addSecs(1));
        const QList<ModalBox> boxes = finish();
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes[0].title, QStringLiteral("Time set error"));
        QCOMPARE(boxes[0].text, QStringLiteral("Start time later then the end"));
        QCOMPARE(boxes[0].icon, int(QMessageBox::Warning));
        QCOMPARE(finish().size(), 1); // every time, until corrected
    }

    void cancelledSaveDialogClearsThePath()
    {
        Rig r;
        r.w.reset(new Korvath);
        r.save = r.tmp.filePath(QStringLiteral("save"));
        QVERIFY(QDir().mkpath(r.save));
        r.chooseSaveFolder(r.save);
        runWithModalBoxes([&] { r.button("savepath_pushButton")->click(); });
        QCOMPARE(r.w->findChild<QLineEdit *>("savepath_lineEdit")->text(), QString());
    }
};

QTEST_MAIN(WindowScanTest)
#include "window_scan_test.moc"
