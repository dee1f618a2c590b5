// korvath-cli run as a user would, on images from the builder.
#include "imagebuilder.h"
#include "scan.h"

#include <QCryptographicHash>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace korvath;
using korvath::testkit::ImageBuilder;

namespace {

struct CliRun {
    int code = -1;
    QString out, err;
};

CliRun cli(const QStringList &args)
{
    QProcess p;
    p.start(QStringLiteral(KORVATH_CLI_PATH), args);
    p.waitForFinished(120000);
    return {p.exitCode(), QString::fromLocal8Bit(p.readAllStandardOutput()), QString::fromLocal8Bit(p.readAllStandardError())};
}

class Cli : public ::testing::Test
{
protected:
    void SetUp() override
    {
        builder.recorderSignature();
        builder.recording(0, packRecorderTime(2024, 3, 1, 8, 0, 0), packRecorderTime(2024, 3, 1, 8, 10, 0), {5, 9, 6});
        builder.recording(0, packRecorderTime(2024, 3, 1, 7, 0, 0), packRecorderTime(2024, 3, 1, 7, 5, 0), {20}, 0x77);
        builder.recording(1, packRecorderTime(2024, 3, 1, 9, 0, 0), packRecorderTime(2024, 3, 1, 9, 5, 0), {30, 31}, 0x78);
        image = tmp.filePath(QStringLiteral("disk.img"));
        ASSERT_TRUE(builder.write(image));
    }

    RecordingMap libraryScan(uint32_t channel) const
    {
        const VolumeInfo info = volumeInfoForSectors(builder.sectors());
        const QByteArray dir = testkit::readFileBytes(image, builder.directorySector() * 512, info.dir_size * 512ull);
        return scanDirectory(reinterpret_cast<const uint8_t *>(dir.constData()), static_cast<size_t>(dir.size()), info,
                             ScanQuery{channel, 0, 0xFFFFFFFFu});
    }

    QByteArray imageBytes(const Recording &rec) const
    {
        QByteArray bytes;
        for (uint32_t c : rec.clusters)
            bytes += testkit::readFileBytes(image, builder.clusterFirstSector(c) * 512, 2097152);
        return bytes;
    }

    QTemporaryDir tmp;
    QString image;
    ImageBuilder builder{80 * 4096};
};

TEST_F(Cli, ListAgreesWithTheLibraryScan)
{
    const RecordingMap expected = libraryScan(0);
    ASSERT_EQ(expected.size(), 2);
    const CliRun r = cli({"list", image});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    const QStringList lines = r.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), expected.size());
    int i = 0;
    for (const Recording &rec : expected)
        EXPECT_EQ(lines[i++], QStringLiteral("%1\t%2\t%3").arg(rec.name).arg(rec.clusters.size()).arg(rec.clusters.size() * 2097152));
    const CliRun j = cli({"list", image, "--json"});
    const QJsonArray a = QJsonDocument::fromJson(j.out.toUtf8()).array();
    ASSERT_EQ(a.size(), 2);
    const QJsonObject second = a[1].toObject();
    EXPECT_EQ(second[QStringLiteral("name")].toString(), expected.last().name);
    EXPECT_EQ(second[QStringLiteral("start")].toString(), QStringLiteral("2024-03-01 08:00:00"));
    EXPECT_EQ(second[QStringLiteral("end")].toString(), QStringLiteral("2024-03-01 08:10:00"));
    EXPECT_EQ(second[QStringLiteral("channel")].toInt(), 1);
    EXPECT_EQ(second[QStringLiteral("bytes")].toDouble(), 3 * 2097152.0);
    const QJsonArray clusters = second[QStringLiteral("clusters")].toArray();
    ASSERT_EQ(clusters.size(), 3);
    EXPECT_EQ(clusters[1].toInt(), 9);
}

TEST_F(Cli, RangeAndChannel)
{
    const CliRun r = cli({"list", image, "--from", "2024-03-01T07:30:00", "--to", "2024-03-01 08:05:00"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out.count(QLatin1Char('\n')), 1);
    EXPECT_TRUE(r.out.startsWith(QStringLiteral("2024-03-01 08-00-00")));
    const CliRun none = cli({"list", image, "--channel", "5"});
    EXPECT_EQ(none.code, 0);
    EXPECT_TRUE(none.out.isEmpty());
    EXPECT_FALSE(none.err.isEmpty());
}

TEST_F(Cli, ExportBytesAndHashes)
{
    const QString outDir = tmp.filePath(QStringLiteral("out"));
    ASSERT_TRUE(QDir().mkpath(outDir));
    const CliRun r = cli({"export", image, "--out", outDir, "--sha256"});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    const QStringList lines = r.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 2);
    int i = 0;
    for (const Recording &rec : libraryScan(0)) {
        const QByteArray bytes = imageBytes(rec);
        QFile f(outDir + QStringLiteral("/CAM1/") + rec.name);
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        EXPECT_TRUE(f.readAll() == bytes) << rec.name.toStdString();
        const QString sha = QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
        EXPECT_EQ(lines[i++], sha + QStringLiteral("  CAM1/") + rec.name);
    }
    QFile sums(outDir + QStringLiteral("/sums"));
    ASSERT_TRUE(sums.open(QIODevice::WriteOnly));
    sums.write(r.out.toLocal8Bit());
    sums.close();
    QProcess check;
    check.setWorkingDirectory(outDir);
    check.start(QStringLiteral("sha256sum"), {"-c", "sums"});
    ASSERT_TRUE(check.waitForFinished());
    EXPECT_EQ(check.exitCode(), 0) << check.readAllStandardOutput().toStdString();
    EXPECT_TRUE(r.err.contains(QStringLiteral("2 of 2 recordings written")));
}

TEST_F(Cli, ExportByName)
{
    const QString outDir = tmp.filePath(QStringLiteral("named"));
    ASSERT_TRUE(QDir().mkpath(outDir));
    const QString name = libraryScan(1).firstKey();
    const CliRun r = cli({"export", image, "--out", outDir, "--channel", "2", "--name", name});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(QDir(outDir + QStringLiteral("/CAM2")).entryList(QDir::Files), QStringList{name});
}

TEST_F(Cli, FailedWriteExitsOneAndKeepsTheOthers)
{
    const QString outDir = tmp.filePath(QStringLiteral("full"));
    ASSERT_TRUE(QDir().mkpath(outDir + QStringLiteral("/CAM1")));
    const RecordingMap expected = libraryScan(0);
    ASSERT_TRUE(QFile::link(QStringLiteral("/dev/full"), outDir + QStringLiteral("/CAM1/") + expected.firstKey()));
    const CliRun r = cli({"export", image, "--out", outDir});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(r.err.contains(expected.firstKey())) << r.err.toStdString();
    EXPECT_EQ(QFileInfo(outDir + QStringLiteral("/CAM1/") + expected.lastKey()).size(), 3 * 2097152);
    EXPECT_FALSE(QFileInfo(outDir + QStringLiteral("/CAM1/") + expected.firstKey()).exists());
}

TEST_F(Cli, UsageErrorsExitTwoBeforeWriting)
{
    const QString outDir = tmp.filePath(QStringLiteral("usage"));
    ASSERT_TRUE(QDir().mkpath(outDir));
    struct Case {
        QStringList args;
        const char *says;
    } cases[] = {
        {{"frobnicate"}, "unknown command"},
        {{"list", image, "--bogus"}, "bogus"},
        {{"list", image, "--from", "2024-13-01 00:00:00"}, "--from"},
        {{"list", image, "--to", "yesterday"}, "--to"},
        {{"list", image, "--channel", "0"}, "--channel"},
        {{"list", image, "--channel", "65"}, "--channel"},
        {{"export", image, "--out", outDir, "--name", "nope.h264"}, "nope.h264"},
        {{"list", tmp.filePath("missing.img")}, "cannot open"},
        {{"export", image}, "--out"},
        {{"list"}, "SOURCE"},
    };
    for (const Case &c : cases) {
        const CliRun r = cli(c.args);
        EXPECT_EQ(r.code, 2) << c.args.join(' ').toStdString();
        EXPECT_TRUE(r.err.contains(QLatin1String(c.says))) << r.err.toStdString();
        EXPECT_EQ(r.err.count(QLatin1Char('\n')), 1) << r.err.toStdString();
    }
    EXPECT_TRUE(QDir(outDir).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());
}

TEST_F(Cli, VersionAndHelp)
{
    EXPECT_TRUE(cli({"--version"}).out.contains(QStringLiteral(KORVATH_VERSION)));
    EXPECT_TRUE(cli({"--help"}).out.contains(QStringLiteral("export SOURCE --out DIR")));
}

} // namespace
