// "Refresh Disk" pressed fifty times with three drives: the handles of
// each refresh are released by the next, while the chosen disk and the one
// the file list was made from stay open and readable.
#include "exportrig.h"

#include "layout.h"

using namespace rig;

namespace {

int openDescriptors()
{
    return QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size();
}

} // namespace

class WindowRefreshTest : public QObject
{
    Q_OBJECT

private slots:
    void refreshesKeepDescriptorsAndTheChosenDisks()
    {
        if (!QFileInfo(QStringLiteral("/proc/self/fd")).isDir())
            QSKIP("no /proc/self/fd to count descriptors in");
        Rig r;
        const std::vector<uint32_t> listedClusters{7, 5}, chosenClusters{9, 10, 12};
        ImageBuilder listed(kImageSectors), chosen(kImageSectors), other(kImageSectors);
        listed.recorderSignature();
        chosen.recorderSignature();
        other.recorderSignature();
        const QString listedName = addRecording(listed, 0, listedClusters);
        const QString chosenName = addRecording(chosen, 1, chosenClusters);
        addRecording(other, 2, {20});
        r.addDisk(0, listed);
        r.addDisk(1, chosen);
        r.addDisk(2, other);
        r.open(0); // lists drive 0
        QCOMPARE(r.rows()->rowCount(), 1);
        r.clickRow(r.view("disk_listView"), 1, false); // chooses drive 1, still showing drive 0's list
        const int opened = openDescriptors();

        QAbstractButton *refresh = r.button("searchdisk_pushButton");
        refresh->click();
        const int afterOne = openDescriptors();
        // The fresh three replace the last three; the two in use stay besides.
        QVERIFY2(afterOne <= opened + 2, qPrintable(QStringLiteral("%1 -> %2").arg(opened).arg(afterOne)));
        for (int i = 1; i < 49; ++i)
            refresh->click();
        QCOMPARE(r.view("disk_listView")->model()->rowCount(), 3);
        QCOMPARE(openDescriptors(), afterOne);
        // Drive 0 goes away before the last refresh: a handle closed by mistake
        // would now be a number the system hands to another drive.
        r.drives.set(0, QString());
        refresh->click();
        QCOMPARE(r.view("disk_listView")->model()->rowCount(), 2);
        QCOMPARE(openDescriptors(), afterOne - 1);

        // The listed disk's handle: the export reads drive 0.
        r.all()->click();
        QCOMPARE(messageBoxes(r.exportNow()).size(), 0);
        QCOMPARE(r.exported(), QStringList{listedName});
        QVERIFY(fileBytes(r.file(listedName)) == imageClusters(r.image(0), listedClusters));

        // The chosen disk's handle: a new list is drive 1's, and so is its export.
        QCOMPARE(messageBoxes(r.generate()).size(), 0);
        QCOMPARE(r.rows()->rowCount(), 1);
        QCOMPARE(r.rows()->item(0)->text(), chosenName);
        r.all()->click();
        QCOMPARE(messageBoxes(r.exportNow()).size(), 0);
        QCOMPARE(r.exported(), (QStringList{listedName, chosenName}));
        QVERIFY(fileBytes(r.file(chosenName)) == imageClusters(r.image(1), chosenClusters));
        QCOMPARE(openDescriptors(), afterOne - 1);
    }
};

QTEST_MAIN(WindowRefreshTest)
#include "window_refresh_test.moc"
