// The real window over recorder images in a temporary folder, driven as a
// user would: choose a disk, list a day of channel 1, tick rows, export.
#pragma once

#include "export.h"
#include "faultmount.h"
#include "imagebuilder.h"
#include "korvath.h"
#include "modalboxes.h"
#include "testsupport.h"

#include <QtTest>
#include <QtWidgets>
#include <memory>

namespace rig {

using namespace korvath::testkit;

constexpr uint64_t kImageSectors = 80 * 4096; // clusters 0..77 whole, 78 cut by the end

// Recording k of a disk: 10:k:00 to 10:k:30 on 2024-03-01, so names sort by k.
inline QString addRecording(ImageBuilder &b, uint32_t k, const std::vector<uint32_t> &clusters, uint32_t channel = 0)
{
    const korvath::RecorderTime start = korvath::packRecorderTime(2024, 3, 1, 10, static_cast<int>(k), 0);
    const korvath::RecorderTime end = korvath::packRecorderTime(2024, 3, 1, 10, static_cast<int>(k), 30);
    b.recording(channel, start, end, clusters, 0x100 + k);
    return korvath::recordingFileName(start, end, channel);
}

// A recorder image in a temporary folder, served through the FUSE fault
// device once written (the caller skips when FUSE is not to be had).
struct FaultDisk {
    QTemporaryDir tmp;
    QString image = tmp.filePath(QStringLiteral("disk.img"));
    ImageBuilder b{kImageSectors};
    std::unique_ptr<FaultMount> drive;
    FaultDisk() { b.recorderSignature(); }
    bool mount(const Faults &faults)
    {
        if (!b.write(image))
            return false;
        drive.reset(new FaultMount(image, faults));
        if (!drive->isMounted())
            qWarning("%s", qPrintable(drive->error()));
        return drive->isMounted();
    }
};

// What a correct export holds: the clusters as the image file has them.
inline QByteArray imageClusters(const QString &image, const std::vector<uint32_t> &clusters)
{
    const ImageBuilder layout(kImageSectors);
    QByteArray out;
    for (uint32_t c : clusters)
        out += readFileBytes(image, layout.clusterFirstSector(c) * 512u, korvath::kClusterBytes);
    return out;
}


// OK for message boxes, `onProgress` for the progress dialog, cancel for file dialogs.
inline BoxAnswer answer(const std::function<void(QProgressDialog *)> &onProgress = {})
{
    return [onProgress](QWidget *w) {
        if (auto *mb = qobject_cast<QMessageBox *>(w))
            mb->button(QMessageBox::Ok)->click();
        else if (auto *pd = qobject_cast<QProgressDialog *>(w)) {
            if (onProgress)
                onProgress(pd);
        } else if (auto *fd = qobject_cast<QFileDialog *>(w))
            fd->reject();
    };
}


struct Rig {
    QTemporaryDir tmp;
    DriveMap drives;
    std::unique_ptr<Korvath> w;
    QString save;

    QString image(int disk) const { return tmp.filePath(QStringLiteral("disk%1.img").arg(disk)); }
    QString folder(int cam = 1) const { return save + QStringLiteral("/CAM%1").arg(cam); }
    QString file(const QString &name, int cam = 1) const { return folder(cam) + QLatin1Char('/') + name; }

    void addDisk(int disk, const ImageBuilder &b)
    {
        QString error;
        QVERIFY2(b.write(image(disk), &error), qPrintable(error));
        drives.set(disk, image(disk));
    }

    // Builds the window, chooses disk `disk`, a save folder, and lists channel 1.
    void open(int disk = 0, bool chooseSave = true)
    {
        w.reset(new Korvath);
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        clickRow(view("disk_listView"), disk, false);
        w->findChild<QDateTimeEdit *>("starttime_dateTimeEdit")->setDateTime(QDateTime(QDate(2024, 3, 1), QTime(0, 0)));
        w->findChild<QDateTimeEdit *>("endtime_dateTimeEdit")->setDateTime(QDateTime(QDate(2024, 3, 1), QTime(23, 59)));
        save = tmp.filePath(QStringLiteral("save"));
        QVERIFY(QDir().mkpath(save));
        if (chooseSave)
            chooseSaveFolder(save);
        QCOMPARE(messageBoxes(generate()).size(), 0);
    }

    void chooseSaveFolder(const QString &dir)
    {
        runWithModalBoxes([&] { button("savepath_pushButton")->click(); },
                          [&](QWidget *box) {
                              auto *fd = qobject_cast<QFileDialog *>(box);
                              QVERIFY(fd);
                              fd->setDirectory(dir);
                              QMetaObject::invokeMethod(fd, "accept", Qt::QueuedConnection);
                          });
        QCOMPARE(w->findChild<QLineEdit *>("savepath_lineEdit")->text(), dir);
    }

    QListView *view(const char *name) const { return w->findChild<QListView *>(name); }
    QAbstractButton *button(const char *name) const { return w->findChild<QAbstractButton *>(name); }
    QCheckBox *all() const { return w->findChild<QCheckBox *>("selectall_checkBox"); }
    QStandardItemModel *rows() const { return qobject_cast<QStandardItemModel *>(view("file_listView")->model()); }

    QList<ModalBox> generate() { return runWithModalBoxes([&] { button("listfile_pushButton")->click(); }, answer()); }
    QList<ModalBox> exportNow(const BoxAnswer &a = answer())
    {
        return runWithModalBoxes([&] { button("readfile_pushButton")->click(); }, a);
    }

    // A mouse click on the row's check box, or on its text.
    void clickRow(QListView *v, int row, bool onBox)
    {
        const QModelIndex index = v->model()->index(row, 0);
        QRect rect = v->visualRect(index);
        if (onBox) {
            QStyleOptionViewItem opt;
            opt.initFrom(v);
            opt.features = QStyleOptionViewItem::HasCheckIndicator | QStyleOptionViewItem::HasDisplay;
            opt.rect = rect;
            rect = v->style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &opt, v);
        }
        QTest::mouseClick(v->viewport(), Qt::LeftButton, {}, rect.center());
    }

    QStringList checkedRows() const
    {
        QStringList out;
        for (int r = 0; r < rows()->rowCount(); ++r)
            if (rows()->item(r)->checkState() == Qt::Checked)
                out << rows()->item(r)->text();
        return out;
    }

    QStringList exported(int cam = 1) const { return QDir(folder(cam)).entryList(QDir::Files | QDir::System, QDir::Name); }
};

} // namespace rig
