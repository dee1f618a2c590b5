// korvath-cli on a drive that goes away in the middle of an export, and on
// a directory with sectors that cannot be read, served through the kernel
// by korvath-faultfs.
#include "casereport.h"
#include "faultdevice.h"

#include "scan.h"

#include <QDirIterator>
#include <QRegularExpression>

using namespace korvath;
using namespace korvath::testkit;

namespace {


std::vector<uint32_t> clusterRun(uint32_t first, uint32_t count)
{
    std::vector<uint32_t> run(count);
    for (uint32_t i = 0; i < count; ++i)
        run[i] = first + i;
    return run;
}

QStringList filesBelow(const QString &dir)
{
    QStringList files;
    QDirIterator it(dir, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << QDir(dir).relativeFilePath(it.next());
    files.sort();
    return files;
}

// The numbers written before "cluster(s)" in the lines that contain `words`.
QList<uint64_t> clusterCounts(const QStringList &lines, const QString &words)
{
    static const QRegularExpression count(QStringLiteral("\\b(\\d+) clusters?\\b"));
    QList<uint64_t> found;
    for (const QString &line : lines)
        if (line.contains(words)) {
            auto it = count.globalMatch(line);
            while (it.hasNext())
                found << it.next().captured(1).toULongLong();
        }
    return found;
}

// Recordings of channel 1: one whole before the drive goes away, one it
// goes away in, and a long one after it that is never reached.
TEST(FaultDevicePipeline, DriveThatStopsAnsweringEndsTheExportWithinSeconds)
{
    KORVATH_SKIP_WITHOUT_FAULT_DRIVE();
    QTemporaryDir tmp;
    const QString image = tmp.filePath(QStringLiteral("disk.img"));
    ImageBuilder b(160 * 4096);
    const std::vector<uint32_t> before{8, 9}, cut = clusterRun(10, 8), after = clusterRun(30, 100);
    b.recorderSignature();
    b.recording(0, sampleTime(7, 0), sampleTime(7, 5), before, 0x70);
    b.recording(0, sampleTime(8, 0), sampleTime(8, 30), cut, 0x80);
    b.chain(0, sampleTime(9, 0), sampleTime(9, 59), after, 0x90); // no contents: no read of them succeeds
    ASSERT_TRUE(b.write(image));
    const QString whole = recordingFileName(sampleTime(7, 0), sampleTime(7, 5), 0);
    const QString inHand = recordingFileName(sampleTime(8, 0), sampleTime(8, 30), 0), never = recordingFileName(sampleTime(9, 0), sampleTime(9, 59), 0);

    // Gone a little way into the fourth cluster of the second recording.
    FaultMount drive(image, Faults{{}, {}, 0, static_cast<int64_t>(b.clusterFirstSector(cut[3]) + 1000)});
    ASSERT_TRUE(drive.isMounted()) << drive.error().toStdString();
    const QString out = tmp.filePath(QStringLiteral("out")), report = tmp.filePath(QStringLiteral("case.xml"));
    QDir().mkpath(out);
    const ProcessRun r = runCli({"export", drive.path(), "--out", out, "--report", report});
    const FaultCounts counts = drive.unmount();
    std::printf("[ timing   ] export over a drive that went away: %lld ms, %llu reads after it went\n",
                static_cast<long long>(r.ms), static_cast<unsigned long long>(counts.afterVanishing));

    EXPECT_EQ(r.code, 1) << r.err.toStdString();
    EXPECT_LT(r.ms, 10000);
    // The recording in hand keeps what was read; nothing is half-written under any name.
    EXPECT_EQ(filesBelow(out), (QStringList{"CAM1/" + whole, "CAM1/" + inHand}));
    EXPECT_TRUE(fileBytes(out + "/CAM1/" + whole) == expectedBytes(b, image, before));
    // It stopped retrying after a few clusters, not after every sector of the 105 left.
    ASSERT_TRUE(counts.known);
    EXPECT_GT(counts.afterVanishing, 0u);
    EXPECT_LE(counts.afterVanishing, 16u * (kClusterSectors + 1));

    // Every lost sector of it is a fill run of the report, and the bytes
    // are the image's everywhere else: the first three clusters whole.
    const Report rep = readReport(report);
    ASSERT_TRUE(rep.ok);
    const auto file = std::find_if(rep.files.begin(), rep.files.end(),
                                   [&](const FileObject &f) {
                                       // named from the report's folder
                                       return f.filename == QDir(QFileInfo(report).path()).relativeFilePath(out + "/CAM1/" + inHand);
                                   });
    ASSERT_NE(file, rep.files.end());
    const QByteArray got = fileBytes(out + "/CAM1/" + inHand);
    ASSERT_EQ(uint64_t(got.size()), cut.size() * kClusterBytes);
    EXPECT_EQ(file->size, uint64_t(got.size()));
    std::vector<SectorRange> lost;
    for (const ByteSpan &run : file->runs)
        if (run.fill)
            lost.push_back({run.imgOffset / kSectorSize, (run.imgOffset + run.len) / kSectorSize - 1});
    ASSERT_FALSE(lost.empty());
    EXPECT_GE(lost.front().first, b.clusterFirstSector(cut[3]));
    EXPECT_EQ(lost.back().last, b.clusterFirstSector(cut.back()) + kClusterSectors - 1);
    EXPECT_TRUE(got == expectedBytes(b, image, cut, lost));
    const uint64_t lostSectors = sectorsIn(b, cut, lost);
    EXPECT_TRUE(r.err.contains(QStringLiteral("%1: %2 of %3 sectors could not be read and were written as zeros")
                                   .arg(inHand)
                                   .arg(lostSectors)
                                   .arg(cut.size() * kClusterSectors)))
        << r.err.toStdString();

    const QStringList lines = r.errLines();
    const QList<uint64_t> notRead = clusterCounts(lines, QStringLiteral("stopped answering"));
    ASSERT_FALSE(notRead.isEmpty()) << "no line says the drive stopped answering and how many clusters were not read:\n"
                                    << r.err.toStdString();
    const uint64_t most = cut.size() + after.size();
    EXPECT_TRUE(std::any_of(notRead.begin(), notRead.end(), [&](uint64_t n) { return n > after.size() && n <= most; }))
        << r.err.toStdString();
    // The recording never reached is named, on stderr and in the report.
    EXPECT_TRUE(r.err.contains(never + ": not written: the source had stopped answering")) << r.err.toStdString();
    EXPECT_TRUE(rep.notWritten.contains(never));
}

// Recordings whose records lie in directory sectors 0, 2 and 4.
TEST(FaultDevicePipeline, UnreadableDirectorySectorsLoseOnlyTheirRecords)
{
    KORVATH_SKIP_WITHOUT_FAULT_DRIVE();
    QTemporaryDir tmp;
    const QString image = tmp.filePath(QStringLiteral("disk.img"));
    ImageBuilder b(80 * 4096);
    b.recorderSignature();
    const struct {
        uint32_t first;
        RecorderTime start, end;
    } recordings[] = {{5, sampleTime(8, 0), sampleTime(8, 10)}, {40, sampleTime(9, 0), sampleTime(9, 10)}, {70, sampleTime(10, 0), sampleTime(10, 10)}};
    QStringList lines;
    for (const auto &rec : recordings) {
        b.chain(0, rec.start, rec.end, {rec.first, rec.first + 1}, 0x100 + rec.first);
        lines << QStringLiteral("%1\t2\t4194304").arg(recordingFileName(rec.start, rec.end, 0));
    }
    ASSERT_TRUE(b.write(image));
    const uint64_t dir = b.directorySector();

    const struct {
        const char *what;
        std::vector<SectorRange> bad;
        QStringList listed;
        uint64_t unread;
    } cases[] = {
        {"the middle recording's sectors", {{dir + 2, dir + 3}}, {lines[0], lines[2]}, 2},
        {"the first directory sector", {{dir, dir}}, {lines[1], lines[2]}, 1},
        {"sectors without a record", {{dir + 100, dir + 102}, {dir + 3000, dir + 3000}}, lines, 4},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        FaultMount drive(image, Faults{c.bad, {}, 0, -1});
        ASSERT_TRUE(drive.isMounted()) << drive.error().toStdString();
        const ProcessRun r = runCli({"list", drive.path()});
        std::printf("[ timing   ] list over %s: %lld ms\n", c.what, static_cast<long long>(r.ms));

        EXPECT_EQ(r.code, 1) << r.err.toStdString();
        EXPECT_EQ(r.out, c.listed.join('\n') + '\n');
        const QRegularExpression count(QStringLiteral("\\b%1\\b").arg(c.unread));
        bool named = false;
        for (const QString &line : r.errLines())
            named = named || (line.contains(QStringLiteral("directory")) && line.contains(count));
        EXPECT_TRUE(named) << "no line names the directory and its " << c.unread << " unread sectors:\n"
                           << r.err.toStdString();
    }
}

} // namespace
