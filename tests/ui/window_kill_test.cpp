// The real window killed (SIGKILL) while it copies a long recording: what it
// finished is whole, the recording in hand is at most a temporary file, never
// a cut-off file under its own name.
#include "exportrig.h"

#include "faultmount.h"

using namespace rig;

class WindowKillTest : public QObject
{
    Q_OBJECT

private slots:
    void killedWhileCopying()
    {
        const QString why = FaultMount::unavailableReason();
        if (!why.isEmpty())
            QSKIP(qPrintable("no slow drive through FUSE: " + why));
        QTemporaryDir tmp;
        ImageBuilder b(kImageSectors);
        b.recorderSignature();
        const std::vector<uint32_t> shortOne{5};
        std::vector<uint32_t> longOne;
        for (uint32_t c = 10; c < 50; ++c)
            longOne.push_back(c);
        const QString done = addRecording(b, 0, shortOne), cut = addRecording(b, 1, longOne);
        const QString image = tmp.filePath("disk.img");
        QVERIFY(b.write(image));
        // Only the long recording's clusters answer slowly.
        Faults faults;
        faults.slow = {{b.clusterFirstSector(longOne.front()), b.clusterFirstSector(longOne.back()) + 4095}};
        faults.slowMs = 40;
        FaultMount drive(image, faults);
        QVERIFY2(drive.isMounted(), qPrintable(drive.error()));
        const QString save = tmp.filePath("save"), folder = save + "/CAM1";
        QVERIFY(QDir().mkpath(save));

        QProcess helper;
        helper.setProcessChannelMode(QProcess::MergedChannels);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("QT_LOGGING_RULES"));
        helper.setProcessEnvironment(env);
        helper.start(QStringLiteral(KORVATH_WINDOW_EXPORT_HELPER), {drive.path(), save});
        QVERIFY(helper.waitForStarted(10000));
        QByteArray said;
        // Some of the long recording is written: it is in the middle of its copy.
        const QString part = folder + "/" + cut + ".part";
        QElapsedTimer timer;
        timer.start();
        const QString whole = folder + "/" + cut;
        const auto started = [&] {
            return QFileInfo(part).size() >= qint64(korvath::kClusterBytes) ||
                   QFileInfo(whole).size() >= qint64(korvath::kClusterBytes);
        };
        while (!started() && helper.state() == QProcess::Running && timer.elapsed() < 60000) {
            helper.waitForReadyRead(20);
            said += helper.readAll();
        }
        QVERIFY2(helper.state() == QProcess::Running, qPrintable("the helper ended first: " + said));
        helper.kill();
        QVERIFY(helper.waitForFinished(10000));
        QCOMPARE(helper.exitStatus(), QProcess::CrashExit);
        said += helper.readAll();
        QVERIFY2(said.contains("exporting 2"), said.constData());
        QVERIFY2(!said.contains("finished"), said.constData());

        const QStringList left = QDir(folder).entryList(QDir::Files | QDir::System, QDir::Name);
        QVERIFY2(!left.contains(cut), qPrintable(left.join(", ")));
        QVERIFY2(left == QStringList{done} || left == (QStringList{done, cut + ".part"}), qPrintable(left.join(", ")));
        QVERIFY(fileBytes(folder + "/" + done) == imageClusters(image, shortOne));
        if (left.size() == 2)
            QVERIFY(QFileInfo(part).size() < qint64(longOne.size()) * qint64(korvath::kClusterBytes));
    }
};

QTEST_MAIN(WindowKillTest)
#include "window_kill_test.moc"
