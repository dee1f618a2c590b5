// korvath-cli export as a child process: stopped by a signal in the middle
// of a recording, and meeting files that exist already. Every file it leaves
// is whole under its name, or absent.
#include "faultdevice.h"

#include "scan.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QRegularExpression>
#include <QThread>
#include <csignal>
#include <functional>
#include <sys/types.h>

using namespace korvath;
using namespace korvath::testkit;

namespace {


class ExportSafety : public ::testing::Test
{
protected:
    static constexpr uint64_t kSectors = 80 * 4096;

    void SetUp() override
    {
        builder.recorderSignature();
        builder.recording(0, sampleTime(8, 0), sampleTime(8, 10), kShort);
        builder.recording(0, sampleTime(9, 0), sampleTime(9, 30), kLong, 0x77);
        builder.recording(0, sampleTime(10, 0), sampleTime(10, 5), kLast, 0x78);
        ASSERT_TRUE(builder.write(image));
        names = QStringList{recordingFileName(sampleTime(8, 0), sampleTime(8, 10), 0), recordingFileName(sampleTime(9, 0), sampleTime(9, 30), 0),
                            recordingFileName(sampleTime(10, 0), sampleTime(10, 5), 0)};
        clusters = {kShort, kLong, kLast};
    }

    QString makeDir(const QString &name) const
    {
        QDir().mkpath(tmp.filePath(name));
        return tmp.filePath(name);
    }

    QString file(const QString &out, int k) const { return out + "/CAM1/" + names[k]; }
    QByteArray bytes(int k) const { return expectedBytes(builder, image, clusters[k]); }

    static std::vector<uint32_t> range(uint32_t first, uint32_t count)
    {
        std::vector<uint32_t> v;
        for (uint32_t c = first; c < first + count; ++c)
            v.push_back(c);
        return v;
    }

    const std::vector<uint32_t> kShort{5}, kLong = range(10, 30), kLast{50};
    QTemporaryDir tmp;
    QString image = tmp.filePath(QStringLiteral("disk.img"));
    ImageBuilder builder{kSectors};
    QStringList names; // in the order they are exported
    std::vector<std::vector<uint32_t>> clusters;
};

// Waits up to `ms` for `done`, reading the child's output meanwhile so that
// its pipes never fill.
bool waitUntil(QProcess &p, const std::function<bool()> &done, int ms)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > ms || p.state() == QProcess::NotRunning)
            return done();
        p.waitForReadyRead(10);
    }
    return true;
}

// The first recording is written, the long second one is in hand when the
// signal comes (over an older copy of it, once), the third is never reached.
TEST_F(ExportSafety, StopSignalEndsAfterTheClusterInHand)
{
    KORVATH_SKIP_WITHOUT_FAULT_DRIVE();
    // The long recording's clusters answer slowly, so the signal finds it in hand.
    Faults slow;
    slow.slow.push_back({builder.clusterFirstSector(kLong.front()), builder.clusterFirstSector(kLong.back() + 1) - 1});
    slow.slowMs = 20;
    FaultMount drive(image, slow);
    ASSERT_TRUE(drive.isMounted()) << drive.error().toStdString();
    const QByteArray old("an older copy");
    const struct {
        int signal;
        const char *name;
        bool olderCopy; // of the long recording, which must survive the stop
    } cases[] = {{SIGINT, "SIGINT", false}, {SIGTERM, "SIGTERM", false}, {SIGHUP, "SIGHUP", true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const QString out = makeDir(QString::fromLatin1(c.name));
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("QT_LOGGING_RULES"));
        p.setProcessEnvironment(env);
        QStringList args = {"export", drive.path(), "--out", out, "--sha256"};
        if (c.olderCopy) {
            ASSERT_TRUE(QDir().mkpath(out + "/CAM1") && writeFile(file(out, 1), old));
            args << "--overwrite";
        }
        p.start(QStringLiteral(KORVATH_CLI_PATH), args);
        ASSERT_TRUE(p.waitForStarted(10000));

        // The hash line comes as soon as the first file has its name, while the
        // export goes on.
        QByteArray stdoutBytes;
        ASSERT_TRUE(waitUntil(p, [&] { return p.canReadLine(); }, 20000)) << "no hash line";
        stdoutBytes = p.readLine();
        EXPECT_EQ(QString::fromLatin1(stdoutBytes), sha256Hex(bytes(0)) + "  CAM1/" + names[0] + '\n');
        EXPECT_TRUE(fileBytes(file(out, 0)) == bytes(0));
        ASSERT_TRUE(waitUntil(p, [&] { return QFileInfo::exists(file(out, 1) + ".part"); }, 20000))
            << "the long recording never started";
        ASSERT_EQ(p.state(), QProcess::Running);
        ASSERT_EQ(::kill(static_cast<pid_t>(p.processId()), c.signal), 0);
        ASSERT_TRUE(p.waitForFinished(20000));
        stdoutBytes += p.readAllStandardOutput();
        const QString err = QString::fromLocal8Bit(p.readAllStandardError());

        EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(p.exitCode(), 128 + c.signal) << err.toStdString();
        EXPECT_EQ(QString::fromLatin1(stdoutBytes), sha256Hex(bytes(0)) + "  CAM1/" + names[0] + '\n');
        EXPECT_EQ(tree(out), c.olderCopy ? (QStringList{"CAM1", "CAM1/" + names[0], "CAM1/" + names[1]})
                                         : (QStringList{"CAM1", "CAM1/" + names[0]}));
        if (c.olderCopy)
            EXPECT_TRUE(fileBytes(file(out, 1)) == old);
        EXPECT_TRUE(fileBytes(file(out, 0)) == bytes(0));
        const QStringList lines = err.split('\n', Qt::SkipEmptyParts);
        ASSERT_EQ(lines.size(), 4) << err.toStdString();
        const QRegularExpression cancelled(
            "^korvath-cli: " + QRegularExpression::escape(names[1]) +
            ": not written: the export was cancelled after (\\d+) of 30 clusters; the incomplete file was removed$");
        const QRegularExpressionMatch m = cancelled.match(lines[0]);
        EXPECT_TRUE(m.hasMatch()) << lines[0].toStdString();
        EXPECT_LT(m.captured(1).toInt(), 30);
        EXPECT_EQ(lines[1], "korvath-cli: " + names[2] + ": not written: the export was stopped by " + c.name);
        EXPECT_EQ(lines[2], "korvath-cli: 1 of 3 recordings written, 2097152 bytes, 0 unreadable sectors, 2 failures");
        EXPECT_EQ(lines[3], QStringLiteral("korvath-cli: stopped by ") + c.name);
    }
}

// What lies under the names beforehand: refused without --overwrite, before
// anything is written; replaced whole with it.
TEST_F(ExportSafety, ExistingFilesAreNeverReplacedUnasked)
{
    const QByteArray old("an older copy");
    const struct {
        const char *what;
        std::function<bool(const QString &out)> make;
        int first, count;        // the file named in the refusal, how many exist
        int overwriteCode;       // with --overwrite
        QStringList afterwards;  // under CAM1 after the second run
    } cases[] = {
        {"older files",
         [&](const QString &out) { return writeFile(file(out, 0), old) && writeFile(file(out, 2), old); }, 0, 2, 0,
         names},
        {"a dangling symbolic link",
         [&](const QString &out) { return QFile::link(tmp.filePath("nowhere"), file(out, 1)); }, 1, 1, 0, names},
        // The rename cannot replace a folder: that recording fails, the folder stays.
        {"a folder", [&](const QString &out) { return QDir().mkpath(file(out, 2) + "/inside"); }, 2, 1, 1,
         QStringList{names[0], names[1], names[2], names[2] + "/inside"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const QString out = makeDir(QString::fromLatin1(c.what).replace(' ', '_'));
        ASSERT_TRUE(QDir().mkpath(out + "/CAM1") && c.make(out));
        const QStringList before = tree(out);

        const ProcessRun refused = runCli({"export", image, "--out", out, "--sha256"});
        EXPECT_EQ(refused.code, 2);
        EXPECT_TRUE(refused.out.isEmpty());
        EXPECT_EQ(refused.errLines(),
                  QStringList{QStringLiteral("korvath-cli: %1 exists already (%2 of the files to write exist); nothing "
                                             "was written; give --overwrite to replace them")
                                  .arg(QDir::cleanPath(file(out, c.first)))
                                  .arg(c.count)});
        EXPECT_EQ(tree(out), before);
        if (c.count == 2)
            EXPECT_TRUE(fileBytes(file(out, 0)) == old && fileBytes(file(out, 2)) == old);

        const ProcessRun replaced = runCli({"export", image, "--out", out, "--overwrite"});
        EXPECT_EQ(replaced.code, c.overwriteCode) << replaced.err.toStdString();
        QStringList under;
        for (const QString &path : tree(out + "/CAM1"))
            under << path;
        EXPECT_EQ(under, c.afterwards);
        for (int k = 0; k < 3; ++k) {
            if (QFileInfo(file(out, k)).isDir())
                continue;
            EXPECT_FALSE(QFileInfo(file(out, k)).isSymLink()) << k;
            EXPECT_TRUE(fileBytes(file(out, k)) == bytes(k)) << k;
        }
        if (c.overwriteCode == 1) {
            EXPECT_TRUE(replaced.err.contains(names[2] + ": not written: it could not be renamed"))
                << replaced.err.toStdString();
            EXPECT_TRUE(replaced.err.contains("2 of 3 recordings written, 65011712 bytes, 0 unreadable sectors, "
                                              "1 failure"))
                << replaced.err.toStdString();
        }
    }
    EXPECT_FALSE(QFileInfo::exists(tmp.filePath("nowhere")));
}

// A failed write never touches the older file of the name; a temporary file
// left by a killed run is taken over and does not stop the export.
TEST_F(ExportSafety, AFailedExportLeavesTheOlderFileAlone)
{
    const QString out = makeDir("full");
    const QByteArray old("an older copy");
    ASSERT_TRUE(QDir().mkpath(out + "/CAM1"));
    ASSERT_TRUE(writeFile(file(out, 1), old));
    ASSERT_TRUE(QDir().mkpath(file(out, 1) + ".part")); // its temporary file cannot be made
    ASSERT_TRUE(writeFile(file(out, 2) + ".part", "left by a killed run"));

    const ProcessRun r = runCli({"export", image, "--out", out, "--overwrite", "--sha256"});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(fileBytes(file(out, 1)) == old);
    EXPECT_TRUE(fileBytes(file(out, 0)) == bytes(0));
    EXPECT_TRUE(fileBytes(file(out, 2)) == bytes(2));
    EXPECT_TRUE(QFileInfo(file(out, 1) + ".part").isDir()); // a folder is never removed
    ASSERT_TRUE(QDir(file(out, 1) + ".part").removeRecursively());
    EXPECT_EQ(partFiles(out), QStringList());
    EXPECT_EQ(r.out, sha256Hex(bytes(0)) + "  CAM1/" + names[0] + '\n' + sha256Hex(bytes(2)) + "  CAM1/" + names[2] + '\n');
    const QStringList lines = r.errLines();
    ASSERT_EQ(lines.size(), 2) << r.err.toStdString();
    EXPECT_TRUE(lines[0].startsWith("korvath-cli: " + names[1] + ": not written: the file could not be created"))
        << lines[0].toStdString();
    EXPECT_EQ(lines[1], "korvath-cli: 2 of 3 recordings written, 4194304 bytes, 0 unreadable sectors, 1 failure");
}

// The refusal comes after the directory is read and before any cluster of a
// recording is: the drive counts the reads of the recordings' sectors.
TEST_F(ExportSafety, ARefusalReadsNoRecording)
{
    KORVATH_SKIP_WITHOUT_FAULT_DRIVE();
    const QString out = makeDir("counted");
    ASSERT_TRUE(QDir().mkpath(out + "/CAM1") && writeFile(file(out, 2), "an older copy"));
    Faults watched;
    for (const std::vector<uint32_t> &chain : clusters)
        for (const uint32_t c : chain)
            watched.slow.push_back({builder.clusterFirstSector(c), builder.clusterFirstSector(c) + kClusterSectors - 1});
    watched.slowMs = 1;
    for (const bool overwrite : {false, true}) {
        SCOPED_TRACE(overwrite ? "--overwrite" : "refused");
        FaultMount drive(image, watched);
        ASSERT_TRUE(drive.isMounted()) << drive.error().toStdString();
        const ProcessRun r = runCli(QStringList{"export", drive.path(), "--out", out} +
                                (overwrite ? QStringList{"--overwrite"} : QStringList()));
        const FaultCounts counts = drive.unmount();
        ASSERT_TRUE(counts.known);
        EXPECT_EQ(r.code, overwrite ? 0 : 2) << r.err.toStdString();
        EXPECT_GT(counts.reads, 0u);
        if (overwrite)
            EXPECT_GT(counts.slowReads, 0u);
        else
            EXPECT_EQ(counts.slowReads, 0u);
    }
    EXPECT_TRUE(fileBytes(file(out, 2)) == bytes(2));
}

} // namespace
