// Runs the real window over the disk image given first, with the save folder
// given second: chooses drive 0, lists channel 1 of 2024-03-01, ticks every
// row and presses "Start export". window_kill_test kills it while it copies.
#include "exportrig.h"

#include <cstdio>

using namespace rig;

namespace {
QString g_image, g_save;
}

class ExportHelper : public QObject
{
    Q_OBJECT

private slots:
    void exportEverything()
    {
        Rig r;
        r.drives.set(0, g_image);
        r.open(0, false);
        r.save = g_save;
        r.chooseSaveFolder(g_save);
        QVERIFY(r.rows()->rowCount() > 0);
        r.all()->click();
        std::printf("exporting %d\n", r.rows()->rowCount());
        std::fflush(stdout);
        // Returns only when the export is over; a box at its end would wait here.
        r.button("readfile_pushButton")->click();
        std::printf("finished\n");
        std::fflush(stdout);
    }
};

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s IMAGE SAVE-FOLDER\n", argv[0]);
        return 2;
    }
    g_image = QString::fromLocal8Bit(argv[1]);
    g_save = QString::fromLocal8Bit(argv[2]);
    ExportHelper helper;
    return QTest::qExec(&helper, 1, argv);
}

#include "exporthelper.moc"
