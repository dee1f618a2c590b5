// The real window over damaged, hostile or unusual disks and save folders:
// the source is never changed, every case ends in what a user would expect,
// and nothing that could be recovered is lost.
#include "faultmount.h"
#include "imagebuilder.h"
#include "korvath.h"
#include "lereader.h"
#include "modalboxes.h"
#include "scan.h"
#include "testsupport.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QCryptographicHash>
#include <QDateTimeEdit>
#include <QDir>
#include <QFileDialog>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QStandardItemModel>
#include <QTemporaryDir>
#include <QtTest>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <random>
#include <sys/mount.h>
#include <sys/stat.h>

using namespace korvath;
using namespace korvath::testkit;

namespace {

const QString kListText = QStringLiteral(
    "There is no file list or disk data has been corrupted and unrecoverable. Confirm the parametr settings.");

RecorderTime tenOClock(int minute, int second = 0)
{
    return packRecorderTime(2024, 3, 1, 10, minute, second);
}

// Recording k of an image: 10:k:00 to 10:k:30, so names sort by k.
QString addRecording(ImageBuilder &b, uint32_t k, const std::vector<uint32_t> &clusters)
{
    b.recording(0, tenOClock(int(k)), tenOClock(int(k), 30), clusters, 0x700 + k);
    return recordingFileName(tenOClock(int(k)), tenOClock(int(k), 30), 0);
}

QByteArray patterns(const std::vector<uint32_t> &clusters)
{
    QByteArray out;
    for (uint32_t c : clusters)
        out += ImageBuilder::clusterPattern(c);
    return out;
}



// The window over drives that are image files in a temporary folder.
struct Session {
    QTemporaryDir tmp;
    DriveMap drives;
    LogCapture log; // the per-record debug lines stay off the output
    std::unique_ptr<Korvath> w;
    QString save = tmp.filePath(QStringLiteral("save"));

    QString image(int n) const { return tmp.filePath(QStringLiteral("disk%1.img").arg(n)); }
    QString file(const QString &name) const { return save + QStringLiteral("/CAM1/") + name; }

    void add(int n, const ImageBuilder &b)
    {
        QString error;
        QVERIFY2(b.write(image(n), &error), qPrintable(error));
        drives.set(n, image(n));
    }

    void open(const QDateTime &from = QDateTime(QDate(2024, 3, 1), QTime(0, 0)),
              const QDateTime &to = QDateTime(QDate(2024, 3, 1), QTime(23, 59, 59)))
    {
        w.reset(new Korvath);
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        w->findChild<QDateTimeEdit *>("starttime_dateTimeEdit")->setDateTime(from);
        w->findChild<QDateTimeEdit *>("endtime_dateTimeEdit")->setDateTime(to);
    }

    QListView *view(const char *name) const { return w->findChild<QListView *>(name); }
    QAbstractButton *button(const char *name) const { return w->findChild<QAbstractButton *>(name); }
    QStandardItemModel *model(const char *name) const { return qobject_cast<QStandardItemModel *>(view(name)->model()); }

    QStringList rows(const char *list = "file_listView", bool checkedOnly = false) const
    {
        QStringList out;
        QStandardItemModel *m = model(list);
        for (int r = 0; r < m->rowCount(); ++r)
            if (!checkedOnly || m->item(r)->checkState() == Qt::Checked)
                out << m->item(r)->text();
        return out;
    }

    void chooseDisk(int row)
    {
        QListView *v = view("disk_listView");
        QTest::mouseClick(v->viewport(), Qt::LeftButton, {}, v->visualRect(v->model()->index(row, 0)).center());
        QCOMPARE(model("disk_listView")->item(row)->checkState(), Qt::Checked);
    }

    void chooseSave()
    {
        QVERIFY(QDir().mkpath(save));
        runWithModalBoxes([&] { button("savepath_pushButton")->click(); },
                          [&](QWidget *box) {
                              auto *fd = qobject_cast<QFileDialog *>(box);
                              QVERIFY(fd);
                              fd->setDirectory(save);
                              QMetaObject::invokeMethod(fd, "accept", Qt::QueuedConnection);
                          });
        QCOMPARE(w->findChild<QLineEdit *>("savepath_lineEdit")->text(), save);
    }

    QList<ModalBox> generate()
    {
        return messageBoxes(runWithModalBoxes([&] { button("listfile_pushButton")->click(); }));
    }
    QList<ModalBox> exportChecked()
    {
        return messageBoxes(runWithModalBoxes([&] { button("readfile_pushButton")->click(); }));
    }
    void checkAll() { w->findChild<QCheckBox *>("selectall_checkBox")->setChecked(true); }
};

struct FileStamp {
    qint64 size = -1;
    timespec mtime{}, ctime{};
    bool operator==(const FileStamp &o) const
    {
        return size == o.size && mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec
               && ctime.tv_sec == o.ctime.tv_sec && ctime.tv_nsec == o.ctime.tv_nsec;
    }
};

FileStamp stamp(const QString &path)
{
    struct stat st;
    FileStamp s;
    if (::stat(path.toLocal8Bit().constData(), &st) == 0)
        s = {qint64(st.st_size), st.st_mtim, st.st_ctim};
    return s;
}

QByteArray sha256(const QString &path)
{
    QFile f(path);
    QCryptographicHash h(QCryptographicHash::Sha256);
    return f.open(QIODevice::ReadOnly) && h.addData(&f) ? h.result() : QByteArray();
}

} // namespace

class WindowReliabilityTest : public QObject
{
    Q_OBJECT

private slots:
    // Discovery, a refresh, the scan and the export leave the image as it was,
    // to the byte and to the time stamp.
    void sourceStaysUnchanged()
    {
        Session s;
        ImageBuilder b(100000);
        b.recorderSignature();
        const QString first = addRecording(b, 0, {5, 9, 6});
        const QString second = addRecording(b, 1, {12});
        s.add(0, b);
        // An old time stamp, so that any write would visibly move it.
        const timespec old[2] = {{978307200, 0}, {978307200, 0}};
        QCOMPARE(::utimensat(AT_FDCWD, s.image(0).toLocal8Bit().constData(), old, 0), 0);
        const QByteArray hash = sha256(s.image(0));
        const FileStamp before = stamp(s.image(0));
        QCOMPARE(before.mtime.tv_sec, time_t(978307200));

        s.open();
        s.button("searchdisk_pushButton")->click();
        s.chooseDisk(0);
        QCOMPARE(s.generate().size(), 0);
        QCOMPARE(s.rows(), (QStringList{first, second}));
        s.chooseSave();
        s.checkAll();
        QCOMPARE(s.exportChecked().size(), 0);
        QVERIFY(fileBytes(s.file(first)) == patterns({5, 9, 6}));
        QVERIFY(fileBytes(s.file(second)) == patterns({12}));
        s.w.reset();

        QVERIFY(stamp(s.image(0)) == before);
        QCOMPARE(sha256(s.image(0)), hash);
    }

    void shortImage_data()
    {
        QTest::addColumn<quint64>("sectors");
        QTest::addColumn<bool>("listed");
        // The layout puts the directory at sectors 18,944 to 22,015 of these images.
        QTest::newRow("ends before the directory") << quint64(18000) << false;
        QTest::newRow("ends inside the directory") << quint64(20000) << true;
    }

    // What lies past the end reads as zeros; what is there is still listed.
    void shortImage()
    {
        QFETCH(quint64, sectors);
        QFETCH(bool, listed);
        Session s;
        ImageBuilder b(sectors);
        b.recorderSignature();
        QCOMPARE(b.directorySector(), quint64(18944));
        const QString inside = addRecording(b, 0, {100});  // sector 18,950 of the directory
        addRecording(b, 1, {20000});                        // sector 20,194: cut away
        s.add(0, b);
        s.open();
        s.chooseDisk(0);
        const QList<ModalBox> boxes = s.generate();
        if (listed) {
            QCOMPARE(boxes.size(), 0);
            QCOMPARE(s.rows(), QStringList{inside});
        } else {
            QCOMPARE(boxes.size(), 1);
            QCOMPARE(boxes[0].title, QStringLiteral("List"));
            QCOMPARE(boxes[0].text, kListText);
            QCOMPARE(boxes[0].icon, int(QMessageBox::Information));
            QCOMPARE(s.rows(), QStringList());
        }
    }

    void randomDirectory_data()
    {
        QTest::addColumn<bool>("linked");
        QTest::newRow("random bytes") << false;
        // Flags, channels and chain ids from small sets, links inside the
        // directory and random counts: long walks that wander and loop.
        QTest::newRow("random chains") << true;
    }

    // The scan finishes and lists exactly the records of channel 1 that can
    // start a recording and touch the range, one row per name.
    void randomDirectory()
    {
        QFETCH(bool, linked);
        Session s;
        ImageBuilder b(100000);
        b.recorderSignature();
        s.add(0, b);
        const VolumeInfo info = b.layout();
        const uint32_t records = info.dir_size * kRecordsPerSector;
        std::mt19937 random(20240301u);
        QByteArray dir(int(info.dir_size * kSectorSize), '\0');
        for (char &c : dir)
            c = char(random() & 0xFF);
        auto put = [&](uint32_t offset, uint32_t value) {
            for (int k = 0; k < 4; ++k)
                dir[int(offset) + k] = char((value >> (8 * k)) & 0xFF);
        };
        if (linked) {
            for (uint32_t i = 0; i < records; ++i) {
                const uint32_t base = i * kRecordSize;
                dir[int(base) + 1] = char(random() % 4);
                put(base + 8, random() % records);
                put(base + 24, 1 + random() % 2);
                put(base + 28, (random() % 2) << 26);
            }
        }
        QFile f(s.image(0));
        QVERIFY(f.open(QIODevice::ReadWrite) && f.seek(qint64(b.directorySector() * kSectorSize)));
        QCOMPARE(f.write(dir), qint64(dir.size()));
        f.close();

        const RecorderTime from = packRecorderTime(2000, 1, 1, 0, 0, 0);
        const RecorderTime to = packRecorderTime(2063, 12, 31, 23, 59, 59);
        QMap<QString, int> expected;
        const LeReader r(dir.constData(), size_t(dir.size()));
        for (uint32_t i = info.rev_clu; i < records; ++i) {
            const size_t base = size_t(i) * kRecordSize;
            const uint8_t flag = r.u8(base + 1);
            const uint32_t start = r.u32(base + 12), end = r.u32(base + 16);
            const bool touches = (from <= start && start <= to) || (from <= end && end <= to) || (start <= from && end >= to);
            if ((flag == 2 || flag == 3) && r.u32(base + 28) >> 26 == 0 && touches)
                expected.insert(recordingFileName(start, end, 0), 0);
        }
        QVERIFY(!expected.isEmpty());

        s.open(QDateTime(QDate(2000, 1, 1), QTime(0, 0)), QDateTime(QDate(2063, 12, 31), QTime(23, 59, 59)));
        s.chooseDisk(0);
        QCOMPARE(s.generate().size(), 0);
        QCOMPARE(s.rows(), expected.keys());
    }

    // Every record a start of a looping 65,536-cluster chain: the list stops at
    // the scan's bound, and a "List" warning says so after the rows are filled.
    void hostileDirectoryIsBoundedAndSaid()
    {
        Session s;
        ImageBuilder b(2097152);
        b.recorderSignature();
        const VolumeInfo info = b.layout();
        const uint32_t records = info.dir_size * kRecordsPerSector;
        for (uint32_t i = info.rev_clu; i < records; ++i) {
            RecordFields r;
            r.index = i;
            r.chainCount = 65535;
            r.nextCluster = i + 1 < records ? i + 1 : info.rev_clu;
            r.startTime = packRecorderTime(2024, 3, 1, 8, 0, 0) + i % 30;
            r.endTime = r.startTime;
            r.chainId = 9;
            b.record(r);
        }
        s.add(0, b);
        s.open();
        s.chooseDisk(0);
        const QList<ModalBox> boxes = s.generate();
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes[0].title, QStringLiteral("List"));
        QCOMPARE(boxes[0].icon, int(QMessageBox::Warning));
        QVERIFY2(boxes[0].text.contains("links far more clusters than the disk holds"), qPrintable(boxes[0].text));
        QCOMPARE(uint64_t(s.rows().size()), scanClusterBound(records) / 65536);
    }

    void emptyDrive_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("row");
        QByteArray recorder(512, '\0');
        recorder.replace(0, 3, "WFS");
        recorder.replace(510, 2, "XM");
        QTest::newRow("0 sectors") << QByteArray() << "  Disk0---  Size:0G";
        QTest::newRow("511 bytes") << recorder.left(511) << "  Disk0---  Size:0G";
        QTest::newRow("one recorder sector") << recorder << "   Male disk0---  Size:0G";
    }

    // A drive without room for a directory lists nothing and says so; the
    // recorder disk next to it is listed as always.
    void emptyDrive()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, row);
        Session s;
        QFile f(s.image(0));
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size());
        f.close();
        s.drives.set(0, s.image(0));
        ImageBuilder b(100000);
        b.recorderSignature();
        const QString name = addRecording(b, 0, {5});
        s.add(1, b);
        s.open();
        QCOMPARE(s.rows("disk_listView"), (QStringList{row, "   Male disk1---  Size:0G"}));

        s.chooseDisk(0);
        const QList<ModalBox> boxes = s.generate();
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes[0].title, QStringLiteral("List"));
        QCOMPARE(boxes[0].text, kListText);
        QCOMPARE(s.rows(), QStringList());

        s.chooseDisk(1);
        QCOMPARE(s.generate().size(), 0);
        QCOMPARE(s.rows(), QStringList{name});
    }

    void unlistable_data()
    {
        QTest::addColumn<bool>("sector0Fails");
        QTest::newRow("two recordings with one name") << false;
        QTest::newRow("sector 0 answers EIO") << true;
    }

    // What the window cannot list is named in a "List" warning: a recording
    // whose name a later one took (the list keeps the later), and everything
    // when sector 0, and with it the directory's place, cannot be read.
    void unlistable()
    {
        QFETCH(bool, sector0Fails);
        Session s;
        ImageBuilder b(200000);
        b.recorderSignature();
        b.recording(0, tenOClock(1), tenOClock(1, 30), {5, 6}, 0x11);
        const QString name = addRecording(b, 1, {30});
        const QString other = addRecording(b, 2, {40});
        s.add(0, b);
        std::unique_ptr<FaultMount> drive;
        if (sector0Fails) {
            const QString why = FaultMount::unavailableReason();
            if (!why.isEmpty())
                QSKIP(qPrintable("no failing drive through FUSE: " + why));
            drive.reset(new FaultMount(s.image(0), Faults{{{0, 0}}, {}, 0, -1}));
            QVERIFY2(drive->isMounted(), qPrintable(drive->error()));
            s.drives.set(0, drive->path());
        }
        s.open();
        s.chooseDisk(0);
        const QList<ModalBox> boxes = s.generate();
        QVERIFY(!boxes.isEmpty());
        QCOMPARE(boxes[0].title, QStringLiteral("List"));
        QCOMPARE(boxes[0].icon, int(QMessageBox::Warning));
        if (sector0Fails) {
            QVERIFY2(boxes[0].text.contains("Sector 0 could not be read"), qPrintable(boxes[0].text));
            QCOMPARE(boxes.size(), 2);
            QCOMPARE(boxes[1].text, kListText);
            QCOMPARE(s.rows(), QStringList());
            return;
        }
        QCOMPARE(boxes.size(), 1);
        QVERIFY2(boxes[0].text.contains(name) && boxes[0].text.contains("the one from cluster 30 is listed")
                     && boxes[0].text.contains("the one from cluster 5 is not"),
                 qPrintable(boxes[0].text));
        QCOMPARE(s.rows(), (QStringList{name, other}));
        s.chooseSave();
        s.checkAll();
        QCOMPARE(s.exportChecked().size(), 0);
        QVERIFY(fileBytes(s.file(name)) == patterns({30}));
    }

    // 3 TB, sparse: the recording's clusters lie past sector 2^32 and come
    // out with their own bytes, not those of a position cut to 32 bits.
    void recordingPast2TiB()
    {
        Session s;
        const uint64_t sectors = 5859375000ull; // 3,000,000,000,000 bytes
        ImageBuilder b(sectors);
        b.recorderSignature();
        const std::vector<uint32_t> clusters = {1048600, 1048601, 1400000};
        QVERIFY(b.clusterFirstSector(clusters[0]) > (uint64_t(1) << 32));
        const QString name = addRecording(b, 0, clusters);
        QString error;
        if (!b.write(s.image(0), &error))
            QSKIP(qPrintable("this file system takes no sparse file of 3 TB: " + error));
        s.drives.set(0, s.image(0));
        struct stat st;
        QCOMPARE(::stat(s.image(0).toLocal8Bit().constData(), &st), 0);
        QVERIFY2(st.st_blocks * 512 < (64 << 20), "the image is not sparse");

        s.open();
        QCOMPARE(s.rows("disk_listView"), QStringList{"   Male disk0---  Size:2793G"});
        s.chooseDisk(0);
        QCOMPARE(s.generate().size(), 0);
        QCOMPARE(s.rows(), QStringList{name});
        s.chooseSave();
        s.checkAll();
        QCOMPARE(s.exportChecked().size(), 0);
        QVERIFY(fileBytes(s.file(name)) == patterns(clusters));
    }

    // A save folder on a device that fills up in the middle of a file: the
    // file that fitted is whole, the other is removed, named and stays
    // chosen, and goes out in full once there is room.
    void saveFolderFillsUp()
    {
        Session s;
        ImageBuilder b(100000);
        b.recorderSignature();
        const QString fits = addRecording(b, 0, {5});
        const QString over = addRecording(b, 1, {6});
        s.add(0, b);
        QVERIFY(QDir().mkpath(s.save));
        TmpfsMount small(s.save, "size=3m");
        if (!small.ok())
            QSKIP(qPrintable(QStringLiteral("no tmpfs may be mounted here (%1)").arg(QString::fromLocal8Bit(std::strerror(small.error)))));
        s.open();
        s.chooseDisk(0);
        QCOMPARE(s.generate().size(), 0);
        s.chooseSave();
        s.checkAll();

        const QList<ModalBox> boxes = s.exportChecked();
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes[0].title, QStringLiteral("Export"));
        QCOMPARE(boxes[0].icon, int(QMessageBox::Warning));
        QVERIFY2(boxes[0].text.contains(over) && !boxes[0].text.contains(fits), qPrintable(boxes[0].text));
        QVERIFY2(boxes[0].text.contains(QStringLiteral("No space left on device")), qPrintable(boxes[0].text));
        QVERIFY(fileBytes(s.file(fits)) == patterns({5}));
        QVERIFY(!QFileInfo::exists(s.file(over)));
        QCOMPARE(s.rows("file_listView", true), QStringList{over});

        QVERIFY(QFile::remove(s.file(fits)));
        QCOMPARE(s.exportChecked().size(), 0);
        QVERIFY(fileBytes(s.file(over)) == patterns({6}));
    }

    void folderCannotBeMade_data()
    {
        QTest::addColumn<QString>("cause");
        QTest::addColumn<QString>("why");
        QTest::newRow("save folder removed") << "removed" << "does not exist";
        QTest::newRow("a file named CAM1") << "file" << "in the way";
        QTest::newRow("read-only file system") << "readonly" << "is not writable";
    }

    // Nothing can be written: the warning names every recording, nothing is
    // left behind, the choice stays, and once the cause is gone all goes out.
    void folderCannotBeMade()
    {
        QFETCH(QString, cause);
        QFETCH(QString, why);
        Session s;
        ImageBuilder b(100000);
        b.recorderSignature();
        const QStringList names = {addRecording(b, 0, {5}), addRecording(b, 1, {6, 7})};
        s.add(0, b);
        s.open();
        s.chooseDisk(0);
        QCOMPARE(s.generate().size(), 0);
        s.chooseSave();
        s.checkAll();
        std::unique_ptr<TmpfsMount> readOnly;
        if (cause == "removed") {
            QVERIFY(QDir(s.save).removeRecursively());
        } else if (cause == "file") {
            QFile in(s.save + "/CAM1");
            QVERIFY(in.open(QIODevice::WriteOnly));
        } else {
            readOnly.reset(new TmpfsMount(s.save, "size=1m", MS_RDONLY));
            if (!readOnly->ok())
                QSKIP(qPrintable(QStringLiteral("no tmpfs may be mounted here (%1)").arg(QString::fromLocal8Bit(std::strerror(readOnly->error)))));
        }

        const QList<ModalBox> boxes = s.exportChecked();
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes[0].title, QStringLiteral("Export"));
        QCOMPARE(boxes[0].icon, int(QMessageBox::Warning));
        QVERIFY2(boxes[0].text.contains(why), qPrintable(boxes[0].text));
        for (const QString &name : names)
            QVERIFY2(boxes[0].text.count(name) == 1, qPrintable(boxes[0].text));
        QCOMPARE(s.rows("file_listView", true), names);
        QVERIFY(!QFileInfo(s.save + "/CAM1").isDir());
        QVERIFY(!QFileInfo::exists(s.save) || QDir(s.save).entryList(QDir::AllEntries | QDir::NoDotAndDotDot)
                                                   == (cause == "file" ? QStringList{"CAM1"} : QStringList()));

        if (cause == "removed")
            QVERIFY(QDir().mkpath(s.save));
        else if (cause == "file")
            QVERIFY(QFile::remove(s.save + "/CAM1"));
        else
            readOnly->release();
        QCOMPARE(s.exportChecked().size(), 0);
        QVERIFY(fileBytes(s.file(names[0])) == patterns({5}));
        QVERIFY(fileBytes(s.file(names[1])) == patterns({6, 7}));
    }
};

QTEST_MAIN(WindowReliabilityTest)
#include "window_reliability_test.moc"
