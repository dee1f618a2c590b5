// korvath-cli run as a user would, on images from the builder, checked
// against the library's scan and the image's own bytes.
#include "disklist.h"
#include "imagebuilder.h"
#include "testsupport.h"
#include "scan.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace korvath;
using namespace korvath::testkit;

namespace {

QString stamp(RecorderTime t)
{
    const RecorderTimeFields f = unpackRecorderTime(t);
    return QString::asprintf("%04u-%02u-%02u %02u:%02u:%02u", f.year, f.month, f.day, f.hour, f.minute, f.second);
}

RecorderTime packed(const char *text)
{
    return toRecorderTime(QDateTime::fromString(QString::fromLatin1(text).replace('T', ' '), "yyyy-MM-dd HH:mm:ss"));
}

class Cli : public ::testing::Test
{
protected:
    static constexpr uint64_t kSectors = 80 * 4096; // cluster 78 runs past the end

    void SetUp() override { ASSERT_TRUE(writeImage(builder, image)); }

    static bool writeImage(ImageBuilder &b, const QString &path)
    {
        b.recorderSignature();
        b.recording(0, sampleTime(8, 0), sampleTime(8, 10), {5, 9, 6});
        b.recording(0, sampleTime(7, 0), sampleTime(7, 5), {20}, 0x77);
        b.recording(1, sampleTime(9, 0), sampleTime(9, 5), {30, 31}, 0x78);
        b.recording(2, sampleTime(10, 0), sampleTime(10, 1), {40, 78}, 0x79);
        b.recording(2, sampleTime(10, 30), sampleTime(10, 31), {44}, 0x7A);
        return b.write(path);
    }

    // The scan the window runs, over the directory where the builder put it.
    RecordingMap libraryScan(uint32_t channel, RecorderTime from = 0, RecorderTime to = 0xFFFFFFFFu) const
    {
        const VolumeInfo info = builder.layout();
        const QByteArray dir = readFileBytes(image, builder.directorySector() * 512, info.dir_size * 512ull);
        return scanDirectory(reinterpret_cast<const uint8_t *>(dir.constData()), static_cast<size_t>(dir.size()), info,
                             ScanQuery{channel, from, to});
    }

    // What the recording's clusters hold in the image; zeros past its end.
    QByteArray imageBytes(const Recording &rec) const
    {
        QByteArray bytes;
        for (const uint32_t c : rec.clusters)
            bytes += readFileBytes(image, builder.clusterFirstSector(c) * 512, kClusterBytes);
        return bytes;
    }

    QString makeDir(const QString &name) const
    {
        QDir().mkpath(tmp.filePath(name));
        return tmp.filePath(name);
    }

    QTemporaryDir tmp;
    QString image = tmp.filePath(QStringLiteral("disk.img"));
    ImageBuilder builder{kSectors};
};

TEST_F(Cli, ListAndJsonAgreeWithTheScan)
{
    const struct {
        uint32_t channel;
        const char *from, *to;
        int count; // as the builder laid them out
    } cases[] = {
        {0, "2000-01-01 00:00:00", "2063-12-31 23:59:59", 2},
        {0, "2024-03-01T07:30:00", "2024-03-01 08:05:00", 1}, // the start lies in it
        {0, "2024-03-01 08:01:00", "2024-03-01 08:02:00", 1}, // it spans the range
        {1, "2024-03-01 09:05:00", "2024-03-01 09:05:00", 1}, // the end, to the second
        {0, "2024-03-01 09:00:00", "2024-03-01 23:00:00", 0},
        {4, "2000-01-01 00:00:00", "2063-12-31 23:59:59", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(QStringLiteral("channel %1 %2 .. %3").arg(c.channel + 1).arg(c.from, c.to).toStdString());
        const RecordingMap expected = libraryScan(c.channel, packed(c.from), packed(c.to));
        ASSERT_EQ(expected.size(), c.count);
        const QStringList args = {"list", image, "--channel", QString::number(c.channel + 1), "--from", c.from, "--to", c.to};

        const ProcessRun text = runCli(args);
        const ProcessRun json = runCli(args + QStringList{"--json"});
        ASSERT_EQ(text.code, 0) << text.err.toStdString();
        ASSERT_EQ(json.code, 0) << json.err.toStdString();
        if (expected.isEmpty()) {
            EXPECT_TRUE(text.out.isEmpty());
            EXPECT_EQ(QJsonDocument::fromJson(json.out.toUtf8()), QJsonDocument(QJsonArray())) << json.out.toStdString();
            EXPECT_EQ(text.errLines().size(), 1);
            EXPECT_TRUE(text.err.contains(QStringLiteral("no recording"))) << text.err.toStdString();
            continue;
        }
        EXPECT_TRUE(text.err.isEmpty() && json.err.isEmpty()) << "debug lines leak: " << text.err.toStdString();
        QStringList lines;
        for (const Recording &r : expected)
            lines << QStringLiteral("%1\t%2\t%3").arg(r.name).arg(r.clusters.size()).arg(r.clusters.size() * 2097152ull);
        EXPECT_EQ(text.out, lines.join('\n') + '\n');

        const QJsonArray array = QJsonDocument::fromJson(json.out.toUtf8()).array();
        ASSERT_EQ(array.size(), expected.size());
        int i = 0;
        for (const Recording &r : expected) {
            const QJsonObject o = array[i++].toObject();
            EXPECT_EQ(o.value("name").toString(), r.name);
            EXPECT_EQ(o.value("channel").toInt(), int(c.channel + 1));
            EXPECT_EQ(o.value("start").toString(), stamp(r.startTime));
            EXPECT_EQ(o.value("end").toString(), stamp(r.endTime));
            EXPECT_EQ(o.value("bytes").toDouble(), r.clusters.size() * 2097152.0);
            QVector<uint32_t> clusters;
            for (const QJsonValue v : o.value("clusters").toArray())
                clusters << static_cast<uint32_t>(v.toDouble());
            EXPECT_EQ(clusters, r.clusters);
        }
    }
}

TEST_F(Cli, ExportWritesTheImageBytesAndTheirHashes)
{
    const QString out = makeDir("out");
    const ProcessRun r = runCli({"export", image, "--out", out, "--sha256"});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    const RecordingMap listed = libraryScan(0);
    QStringList sums;
    for (const Recording &rec : listed) {
        const QByteArray want = imageBytes(rec);
        EXPECT_TRUE(fileBytes(out + "/CAM1/" + rec.name) == want) << rec.name.toStdString();
        sums << sha256Hex(want) + "  CAM1/" + rec.name;
    }
    EXPECT_EQ(r.out, sums.join('\n') + '\n');
    EXPECT_EQ(r.errLines(), QStringList{"korvath-cli: 2 of 2 recordings written, 8388608 bytes, 0 unreadable sectors, 0 failures"});

    QFile list(out + "/SHA256SUMS");
    ASSERT_TRUE(list.open(QIODevice::WriteOnly) && list.write(r.out.toLocal8Bit()) > 0);
    list.close();
    const ProcessRun check = runProgram(QStringLiteral("sha256sum"), {"-c", "SHA256SUMS"}, {}, {}, 120000, out);
    EXPECT_EQ(check.code, 0) << check.out.toStdString() << check.err.toStdString();
    EXPECT_EQ(check.out.count(QStringLiteral(": OK\n")), listed.size());

    const QString named = makeDir("named");
    const QString one = libraryScan(1).firstKey();
    ASSERT_EQ(runCli({"export", image, "--out", named, "--channel", "2", "--name", one}).code, 0);
    EXPECT_EQ(QDir(named + "/CAM2").entryList(QDir::Files), QStringList{one});
}

// Channel 3: one recording runs past the image's end, the other cannot be
// written (a folder stands at its temporary name).
TEST_F(Cli, UnreadableSectorsAndFailedWritesExitOne)
{
    const QString out = makeDir("bad");
    const RecordingMap listed = libraryScan(2);
    ASSERT_EQ(listed.size(), 2);
    const Recording &cut = listed.first(), &full = listed.last();
    ASSERT_TRUE(QDir().mkpath(out + "/CAM3") && QDir().mkpath(out + "/CAM3/" + full.name + ".part"));
    const ProcessRun r = runCli({"export", image, "--out", out, "--channel", "3", "--sha256"});
    EXPECT_EQ(r.code, 1);
    const QByteArray want = imageBytes(cut); // zeros where the image ends
    EXPECT_TRUE(fileBytes(out + "/CAM3/" + cut.name) == want);
    EXPECT_EQ(r.out, sha256Hex(want) + "  CAM3/" + cut.name + '\n');
    EXPECT_TRUE(QFileInfo(out + "/CAM3/" + full.name + ".part").isDir()); // never removed
    EXPECT_FALSE(QFileInfo::exists(out + "/CAM3/" + full.name));
    const uint64_t lost = builder.clusterFirstSector(78) + 4096 - kSectors;
    const QStringList lines = r.errLines();
    ASSERT_EQ(lines.size(), 3) << r.err.toStdString();
    EXPECT_TRUE(lines[0].startsWith(QStringLiteral("korvath-cli: %1: %2 of 8192 sectors").arg(cut.name).arg(lost)))
        << lines[0].toStdString();
    EXPECT_TRUE(lines[1].startsWith("korvath-cli: " + full.name + ": not written")) << lines[1].toStdString();
    EXPECT_EQ(lines[2], QStringLiteral("korvath-cli: 1 of 2 recordings written, 4194304 bytes, %1 unreadable sectors, "
                                       "1 failure")
                            .arg(lost));
}

TEST_F(Cli, UsageErrorsExitTwoWithOneLineAndWriteNothing)
{
    const QString out = makeDir("usage");
    QFile notFolder(tmp.filePath("file"));
    ASSERT_TRUE(notFolder.open(QIODevice::WriteOnly));
    const struct {
        QStringList args;
        QString says;
    } cases[] = {
        {{}, "no command"},
        {{"frobnicate", image}, "unknown command 'frobnicate'"},
        {{"list", image, "--bogus"}, "unknown option 'bogus'"},
        {{"list", image, "--json", "extra"}, "unexpected argument 'extra'"},
        {{"list"}, "'list' needs a SOURCE"},
        {{"list", image, "--from", "2024-02-30 00:00:00"}, "--from '2024-02-30 00:00:00'"},
        {{"list", image, "--to", "2064-01-01 00:00:00"}, "--to '2064-01-01 00:00:00'"},
        {{"list", image, "--to", "yesterday"}, "--to 'yesterday'"},
        {{"list", image, "--from", "2024-03-02 00:00:00", "--to", "2024-03-01 00:00:00"}, "later than --to"},
        {{"list", image, "--channel", "0"}, "--channel must be a number from 1 to 64 or 'all', not '0'"},
        {{"export", image, "--out", out, "--channel", "65"}, "not '65'"},
        {{"list", image, "--channel", "two"}, "not 'two'"},
        {{"list", image, "--sha256"}, "--sha256 does not apply to 'list'"},
        {{"export", image, "--out", out, "--json"}, "--json does not apply to 'export'"},
        {{"list", tmp.filePath("missing.img")}, "cannot open '" + tmp.filePath("missing.img") + "' read-only"},
        {{"list", tmp.path()}, "is a folder"},
        {{"list", "16"}, "drive number 16"},
        {{"export", image}, "needs --out"},
        {{"export", image, "--out", tmp.filePath("file")}, "is not an existing folder"},
        {{"export", image, "--out", out, "--name", libraryScan(0).firstKey(), "--name", "nope.h264"},
         "--name 'nope.h264' is not among"},
        // Listed for channel 1, but not in this range.
        {{"export", image, "--out", out, "--to", "2024-03-01 07:30:00", "--name", libraryScan(0).lastKey()},
         "is not among"},
    };
    for (const auto &c : cases) {
        const ProcessRun r = runCli(c.args);
        SCOPED_TRACE(c.args.join(' ').toStdString() + " -> " + r.err.toStdString());
        EXPECT_EQ(r.code, 2);
        EXPECT_TRUE(r.out.isEmpty());
        ASSERT_EQ(r.errLines().size(), 1);
        EXPECT_TRUE(r.errLines()[0].startsWith("korvath-cli: " ));
        EXPECT_TRUE(r.err.contains(c.says));
    }
    EXPECT_TRUE(QDir(out).isEmpty());
}

TEST_F(Cli, VersionHelpAndVerbose)
{
    const ProcessRun version = runCli({"--version"});
    EXPECT_EQ(version.code, 0);
    EXPECT_EQ(version.out, QStringLiteral("korvath-cli " KORVATH_VERSION "\n"));
    EXPECT_TRUE(runCli({"--help"}).out.contains("export SOURCE --out DIR"));
    const ProcessRun verbose = runCli({"list", image, "--verbose"});
    EXPECT_EQ(verbose.code, 0);
    EXPECT_TRUE(verbose.err.contains(QStringLiteral("totalSec: %1").arg(kSectors))) << verbose.err.toStdString();
}

// Attaches an image read-only as a loop device for as long as it lives.
struct Loop {
    QString device;
    explicit Loop(const QString &image)
    {
        const ProcessRun r = runProgram(QStringLiteral("losetup"), {"--read-only", "--find", "--show", image});
        if (r.code == 0)
            device = r.out.trimmed();
    }
    ~Loop()
    {
        if (!device.isEmpty())
            runProgram(QStringLiteral("losetup"), {"-d", device});
    }
};

// The `disks` line of a device: number, gigabytes, kind, device (model and serial follow).
QStringList disksLine(const QString &device)
{
    for (const QString &line : runCli({"disks"}).out.split('\n'))
        if (line.split('\t').value(3) == device)
            return line.split('\t').mid(0, 4);
    return {};
}

TEST_F(Cli, DriveNumberAndPathGiveTheSameResult)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "attaching a loop device needs root";
    // 3 GiB, sparse, so that the size in gigabytes is not 0.
    ImageBuilder big(3ull << 21), plain(3ull << 21);
    const QString bigImage = tmp.filePath("big.img"), plainImage = tmp.filePath("plain.img");
    // The plain disk holds other recordings, so that a wrong number shows.
    plain.recording(1, sampleTime(11, 0), sampleTime(11, 5), {50});
    ASSERT_TRUE(writeImage(big, bigImage) && plain.write(plainImage));
    const Loop male(bigImage), other(plainImage);
    if (male.device.isEmpty() || other.device.isEmpty())
        GTEST_SKIP() << "no loop device could be attached here";

    EXPECT_EQ(disksLine(other.device).mid(1), (QStringList{"3", "Disk", other.device}));
    const QString out = makeDir("drives");
    // Other processes may attach loop devices meanwhile; the number is read again after use.
    for (int attempt = 0; attempt < 3; ++attempt) {
        const QStringList line = disksLine(male.device);
        ASSERT_EQ(line.mid(1), (QStringList{QString::number(sizeInGigabytes(3ll << 21)), "Male disk", male.device}));
        const ProcessRun byNumber = runCli({"list", line[0], "--json", "--channel", "2"});
        const ProcessRun exported = runCli({"export", line[0], "--out", out, "--sha256"});
        if (disksLine(male.device).value(0) != line[0])
            continue;
        const ProcessRun byPath = runCli({"list", male.device, "--json", "--channel", "2"});
        EXPECT_EQ(byNumber.code, 0) << byNumber.err.toStdString();
        EXPECT_EQ(QJsonDocument::fromJson(byNumber.out.toUtf8()).array().size(), 1);
        EXPECT_EQ(byNumber.out, byPath.out);
        EXPECT_EQ(byNumber.out, runCli({"list", bigImage, "--json", "--channel", "2"}).out);
        EXPECT_EQ(exported.code, 0) << exported.err.toStdString();
        EXPECT_EQ(exported.out, runCli({"export", bigImage, "--out", makeDir("image"), "--sha256"}).out);
        return;
    }
    FAIL() << "the drive numbers kept changing";
}

} // namespace
