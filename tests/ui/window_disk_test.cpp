// The disk list of the real window over image files mapped to drive numbers.
#include "exportrig.h"

using namespace rig;

namespace {

QStringList texts(QStandardItemModel *m)
{
    QStringList out;
    for (int r = 0; r < m->rowCount(); ++r)
        out << m->item(r)->text();
    return out;
}

QStandardItemModel *diskModel(Korvath &w)
{
    return qobject_cast<QStandardItemModel *>(w.findChild<QListView *>("disk_listView")->model());
}

QList<int> checkedRows(QStandardItemModel *m)
{
    QList<int> out;
    for (int r = 0; r < m->rowCount(); ++r)
        if (m->item(r)->data(Qt::CheckStateRole).toInt() == Qt::Checked)
            out << r;
    return out;
}

// Writes 512 bytes at a sector of an image file that already exists.
void patchSector(const QString &path, qint64 sector, const QByteArray &bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadWrite));
    QVERIFY(f.seek(sector * 512));
    QCOMPARE(f.write(bytes), qint64(bytes.size()));
}

QByteArray recorderSector()
{
    QByteArray s(512, '\0');
    s.replace(0, 3, "WFS");
    s.replace(510, 2, "XM");
    return s;
}

struct DriveSpec {
    int number;
    uint64_t sectors;
    enum Kind { Plain, Recorder, BootRecordThenVolume } kind;
};

struct ListCase {
    const char *what;
    QList<DriveSpec> drives;
    QStringList rows;
};

const QList<ListCase> &listCases()
{
    static const QList<ListCase> cases = {
        {"recorder's own sizes",
         {{0, 976773168ull, DriveSpec::Plain}, {1, 1953525168ull, DriveSpec::Recorder}},
         {"  Disk0---  Size:465G", "   Male disk1---  Size:931G"}},
        {"gaps up to drive 15, nothing past it",
         {{3, 2097151ull, DriveSpec::Plain},
          {4, 2097152ull, DriveSpec::Plain},
          {9, 4194304ull, DriveSpec::BootRecordThenVolume},
          {15, 8192ull, DriveSpec::Recorder},
          {16, 8192ull, DriveSpec::Recorder}},
         {"  Disk3---  Size:0G", "  Disk4---  Size:1G", "  Disk9---  Size:2G", "   Male disk15---  Size:0G"}},
        {"no drive opens", {}, {}},
    };
    return cases;
}

enum class Do { ClickText, ClickBox, Refresh, DropDrive1AndRefresh };

} // namespace

class WindowDiskTest : public QObject
{
    Q_OBJECT

private slots:
    void rowsForTheDrivesThatOpen_data()
    {
        QTest::addColumn<int>("index");
        for (int i = 0; i < listCases().size(); ++i)
            QTest::newRow(listCases()[i].what) << i;
    }

    void rowsForTheDrivesThatOpen()
    {
        QFETCH(int, index);
        const ListCase &c = listCases()[index];
        Rig r;
        for (const DriveSpec &d : c.drives) {
            ImageBuilder b(d.sectors);
            if (d.kind == DriveSpec::Recorder)
                b.recorderSignature();
            else if (d.kind == DriveSpec::BootRecordThenVolume)
                b.masterBootRecord(2048);
            r.addDisk(d.number, b);
            if (d.kind == DriveSpec::BootRecordThenVolume)
                patchSector(r.image(d.number), 2048, recorderSector());
        }
        LogCapture log;
        Korvath w;
        QStandardItemModel *m = diskModel(w);
        QCOMPARE(texts(m), c.rows);
        for (int i = 0; i < m->rowCount(); ++i) {
            const Qt::ItemFlags f = m->item(i)->flags();
            QVERIFY(f & Qt::ItemIsUserCheckable);
            QVERIFY(f & Qt::ItemIsSelectable);
            QVERIFY(f & Qt::ItemIsEnabled);
            QVERIFY(!(f & Qt::ItemIsEditable));
        }
        QCOMPARE(checkedRows(m), QList<int>());
        // The refresh's lines are the signature check's, once per drive that
        // opened; no device is named (korvath-cli disks does that).
        const QStringList lines = log.lines();
        QCOMPARE(lines.filter(QStringLiteral("Check Disk ")).size(), m->rowCount());
        for (const DriveSpec &d : c.drives)
            QVERIFY(lines.filter(r.image(d.number)).isEmpty());
    }

    // One window through a run of clicks and refreshes. Drive 0 holds recording
    // A, drive 1 recording B; after each step "Generate file list" shows which
    // drive the choice reads and whether the layout was recomputed ("totalSec:").
    void chooseReleaseSwitchAndRefresh()
    {
        Rig r;
        ImageBuilder b0(kImageSectors), b1(kImageSectors + 16 * 4096);
        const QString a = addRecording(b0.recorderSignature(), 1, {5});
        const QString bName = addRecording(b1.recorderSignature(), 2, {6, 7});
        r.addDisk(0, b0);
        r.addDisk(1, b1);
        const QString t0 = QStringLiteral("totalSec: %1").arg(b0.sectors());
        const QString t1 = QStringLiteral("totalSec: %1").arg(b1.sectors());
        auto chooseLines = [](int rows, int row, int before) {
            QStringList l = {QStringLiteral("count: %1").arg(rows),
                             QStringLiteral("row: %1  m_curSelectItem: %2").arg(row).arg(before)};
            for (int i = 0; i < rows; ++i)
                l << QStringLiteral("i= %1").arg(i);
            return l;
        };
        const QStringList release11 = {"count: 2", "row: 1  m_curSelectItem: 1"};
        const QString none; // no disk chosen: the scan is refused

        struct Step {
            const char *what;
            Do action;
            int row;
            QStringList clickLines;
            QList<int> checked;
            int rows;
            QString totalSec; // the layout line of the scan, empty when not recomputed
            QString listed;   // the one recording listed; `none` when refused
        } steps[] = {
            {"choose row 0", Do::ClickText, 0, chooseLines(2, 0, -1), {0}, 2, t0, a},
            {"switch to row 1 by its box", Do::ClickBox, 1, chooseLines(2, 1, 0), {1}, 2, t1, bName},
            {"release row 1", Do::ClickText, 1, release11, {}, 2, QString(), none},
            {"choose row 1 again", Do::ClickBox, 1, chooseLines(2, 1, -1), {1}, 2, t1, bName},
            {"refresh keeps the choice", Do::Refresh, -1, {}, {}, 2, QString(), bName},
            {"so a click on row 1 releases", Do::ClickText, 1, release11, {}, 2, QString(), none},
            {"choose row 1 once more", Do::ClickText, 1, chooseLines(2, 1, -1), {1}, 2, t1, bName},
            {"drive 1 gone: its open handle still reads", Do::DropDrive1AndRefresh, -1, {}, {}, 1, QString(), bName},
            {"row 0 after the drop", Do::ClickText, 0, chooseLines(1, 0, 1), {0}, 1, t0, a},
        };

        r.w.reset(new Korvath);
        r.w->show();
        QVERIFY(QTest::qWaitForWindowExposed(r.w.get()));
        r.w->findChild<QDateTimeEdit *>("starttime_dateTimeEdit")->setDateTime(QDateTime(QDate(2024, 3, 1), QTime(0, 0)));
        r.w->findChild<QDateTimeEdit *>("endtime_dateTimeEdit")->setDateTime(QDateTime(QDate(2024, 3, 1), QTime(23, 59)));
        QListView *v = r.view("disk_listView");
        QStandardItemModel *m = diskModel(*r.w);
        QCOMPARE(m->rowCount(), 2);

        for (const Step &s : steps) {
            const QByteArray what(s.what);
            LogCapture log;
            switch (s.action) {
            case Do::ClickText:
            case Do::ClickBox:
                r.clickRow(v, s.row, s.action == Do::ClickBox);
                break;
            case Do::DropDrive1AndRefresh:
                r.drives.set(1, QString());
                QVERIFY2(QFile::remove(r.image(1)), what);
                Q_FALLTHROUGH();
            case Do::Refresh:
                r.button("searchdisk_pushButton")->click();
                break;
            }
            // A click logs exactly its lines; a refresh logs none of them.
            const bool click = s.action == Do::ClickText || s.action == Do::ClickBox;
            const QStringList got =
                click ? log.lines() : log.lines().filter(QRegularExpression(QStringLiteral("^(count:|row:|i=)")));
            QVERIFY2(got == s.clickLines, what + ": " + got.join(QLatin1String(" | ")).toUtf8());
            QVERIFY2(checkedRows(m) == s.checked, what);
            QVERIFY2(m->rowCount() == s.rows, what);

            log.clear();
            const QList<ModalBox> boxes = messageBoxes(r.generate());
            const QStringList layout = log.lines().filter(QRegularExpression(QStringLiteral("^totalSec: ")));
            if (s.listed == none) {
                QVERIFY2(boxes.size() == 1, what);
                QCOMPARE(boxes[0].title, QStringLiteral("  Disk"));
                QCOMPARE(boxes[0].text, QStringLiteral("No disk selected, select the disk according to the size"));
                QCOMPARE(boxes[0].icon, int(QMessageBox::Information));
                QVERIFY2(layout.isEmpty(), what);
                continue;
            }
            QVERIFY2(boxes.isEmpty(), what);
            QVERIFY2(layout == (s.totalSec.isEmpty() ? QStringList() : QStringList{s.totalSec}), what);
            QVERIFY2(texts(r.rows()) == QStringList{s.listed}, what);
        }
    }

    // A double click must not open an editor on a row: an edited text would no
    // longer find its drive, and the scan would read nothing.
    void doubleClickDoesNotEditARow()
    {
        Rig r;
        ImageBuilder b(kImageSectors);
        const QString a = addRecording(b.recorderSignature(), 1, {5});
        r.addDisk(0, b);
        r.w.reset(new Korvath);
        r.w->show();
        QApplication::setActiveWindow(r.w.get());
        QVERIFY(QTest::qWaitForWindowActive(r.w.get()));
        r.w->findChild<QDateTimeEdit *>("starttime_dateTimeEdit")->setDateTime(QDateTime(QDate(2024, 3, 1), QTime(0, 0)));
        r.w->findChild<QDateTimeEdit *>("endtime_dateTimeEdit")->setDateTime(QDateTime(QDate(2024, 3, 1), QTime(23, 59)));
        QListView *v = r.view("disk_listView");
        QStandardItemModel *m = diskModel(*r.w);
        const QString before = m->item(0)->text();
        QTest::mouseDClick(v->viewport(), Qt::LeftButton, {}, v->visualRect(m->index(0, 0)).center());
        QVERIFY(v->viewport()->findChildren<QLineEdit *>().isEmpty()); // no editor opened
        QWidget *focus = QApplication::focusWidget();
        QVERIFY(focus);
        QTest::keyClicks(focus, QStringLiteral("edited"));
        QTest::keyClick(focus, Qt::Key_Return);
        QCOMPARE(m->item(0)->text(), before);
        if (m->item(0)->checkState() != Qt::Checked)
            r.clickRow(v, 0, false);
        QCOMPARE(m->item(0)->checkState(), Qt::Checked);
        QCOMPARE(messageBoxes(r.generate()).size(), 0);
        QCOMPARE(texts(r.rows()), QStringList{a});
    }
};

QTEST_MAIN(WindowDiskTest)
#include "window_disk_test.moc"
