// korvath-cli on a drive that fails for real: the image is served through
// the kernel by korvath-faultfs, so reads meet EIO and short reads exactly
// where the sectors are bad, and waits where they are slow.
#include "faultdevice.h"

#include "scan.h"

#include <QCryptographicHash>
#include <QDir>

using namespace korvath;
using namespace korvath::testkit;

namespace {

class FaultDevice : public FaultDisk
{
protected:
    FaultDevice() : FaultDisk({20}) {}
    void addToDisk() override { builder.clusterContents(30); } // belongs to no recording
};

// The kernel hands the server at most 1 MiB (2048 sectors) at a time here:
// some runs cross such a request, one crosses from one cluster into the next.
TEST_F(FaultDevice, UnreadableSectorsAreZerosAndCounted)
{
    const struct {
        const char *what;
        std::vector<SectorRange> bad;
    } cases[] = {
        {"first sector of a cluster", {inCluster(5, 0, 0)}},
        {"a run in the middle across two requests", {inCluster(6, 2040, 2060)}},
        {"last sector of a cluster", {inCluster(7, 4095, 4095)}},
        {"a whole cluster", {inCluster(6, 0, 4095)}},
        {"from one cluster into the next", {inCluster(5, 4090, 4095 + 6)}},
        {"start, middle and end, and a whole cluster",
         {inCluster(5, 0, 0), inCluster(5, 1000, 1000), inCluster(6, 2047, 2048), inCluster(6, 4095, 4095),
          inCluster(7, 0, 4095)}},
        {"only sectors no recording uses", {inCluster(30, 0, 4095), inCluster(20, 4096, 4100)}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const QString out = dir(QString::fromLatin1(c.what).replace(' ', '_'));
        FaultMount drive(image, Faults{c.bad, {}, 0, -1});
        ASSERT_TRUE(drive.isMounted()) << drive.error().toStdString();
        const ProcessRun r = runCli({"export", drive.path(), "--out", out, "--sha256"});
        const FaultCounts counts = drive.unmount();

        const uint64_t lost = sectorsIn(builder, kDamaged, c.bad);
        EXPECT_EQ(r.code, lost ? 1 : 0) << r.err.toStdString();
        const QByteArray damaged = expectedBytes(builder, image, kDamaged, c.bad);
        const QByteArray clean = expectedBytes(builder, image, kClean);
        EXPECT_TRUE(fileBytes(out + "/CAM1/" + names[0]) == damaged);
        EXPECT_TRUE(fileBytes(out + "/CAM1/" + names[1]) == clean);
        // A recording with a failed cluster is finished in the second pass, after the clean one.
        const QString damagedLine = sha256Hex(damaged) + "  CAM1/" + names[0] + '\n', cleanLine = sha256Hex(clean) + "  CAM1/" + names[1] + '\n';
        EXPECT_EQ(r.out, lost ? cleanLine + damagedLine : damagedLine + cleanLine);

        QStringList want;
        if (lost)
            want << QStringLiteral("korvath-cli: %1: %2 of 12288 sectors could not be read").arg(names[0]).arg(lost);
        want << QStringLiteral("korvath-cli: 2 of 2 recordings written, 8388608 bytes, %1 unreadable %2, 0 failures")
                    .arg(lost)
                    .arg(lost == 1 ? "sector" : "sectors");
        const QStringList lines = r.errLines();
        ASSERT_EQ(lines.size(), want.size()) << r.err.toStdString();
        for (int i = 0; i < want.size(); ++i)
            EXPECT_TRUE(lines[i].startsWith(want[i])) << lines[i].toStdString();
        // The server failed a read for each lost sector at least: the errors were real.
        ASSERT_TRUE(counts.known);
        EXPECT_GE(counts.failed, lost);
        std::printf("[ timing   ] %s: %lld ms, %llu reads\n", c.what, static_cast<long long>(r.ms),
                    static_cast<unsigned long long>(counts.reads));
    }
}

TEST_F(FaultDevice, SlowSectorsDelayButLoseNothing)
{
    constexpr unsigned kDelayMs = 150;
    const std::vector<SectorRange> slow = {inCluster(5, 0, 0), inCluster(6, 2000, 2000), inCluster(7, 4095, 4095),
                                           inCluster(20, 100, 100)};
    const QString out = dir(QStringLiteral("slow"));
    FaultMount drive(image, Faults{{}, slow, kDelayMs, -1});
    ASSERT_TRUE(drive.isMounted()) << drive.error().toStdString();
    const ProcessRun r = runCli({"export", drive.path(), "--out", out});
    const FaultCounts counts = drive.unmount();

    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(r.errLines(), QStringList{"korvath-cli: 2 of 2 recordings written, 8388608 bytes, 0 unreadable sectors, "
                                        "0 failures"});
    EXPECT_TRUE(fileBytes(out + "/CAM1/" + names[0]) == expectedBytes(builder, image, kDamaged));
    EXPECT_TRUE(fileBytes(out + "/CAM1/" + names[1]) == expectedBytes(builder, image, kClean));
    // Each slow sector lies in one request, however the reads are cut, and is read once: slow is not bad.
    ASSERT_TRUE(counts.known);
    EXPECT_EQ(counts.slowReads, slow.size());
    EXPECT_EQ(counts.failed, 0u);
    EXPECT_GE(r.ms, static_cast<qint64>(slow.size() * kDelayMs));
    std::printf("[ timing   ] slow export: %lld ms for %zu delays of %u ms\n", static_cast<long long>(r.ms),
                slow.size(), kDelayMs);
}

} // namespace
