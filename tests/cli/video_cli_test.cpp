// export --mp4 and preview through the real korvath-cli, on images whose
// clusters hold H.264 made by the test-stream helper.
#include "faultmount.h"
#include "imagebuilder.h"
#include "testsupport.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <csignal>
#include <tuple>

#ifdef KORVATH_HAVE_VIDEO
#include "teststream.h"
#include <QImage>
#endif

using namespace korvath;
using namespace korvath::testkit;

namespace {

#ifdef KORVATH_HAVE_VIDEO

using namespace korvath::testkit;

QString nameOf(uint32_t channel, RecorderTime start, RecorderTime end)
{
    auto text = [](RecorderTime t) {
        const RecorderTimeFields f = unpackRecorderTime(t);
        return QString::asprintf("%04u-%02u-%02u %02u-%02u-%02u", f.year, f.month, f.day, f.hour, f.minute, f.second);
    };
    return QStringLiteral("%1_%2_CAM%3.h264").arg(text(start), text(end)).arg(channel + 1);
}

// Channel 1: 150 frames at 25 fps over 6 s of stamps, recorder bytes between
// frames. Channel 2: no video. Channel 3: B-frames. Channel 4: a recording of
// 300 clusters, each opening with a short stream, and one of a cluster.
class VideoCli : public ::testing::Test
{
protected:
    static constexpr uint32_t kLongClusters = 300;

    static void SetUpTestSuite()
    {
        s_dir = new QTemporaryDir;
        TestStreamOptions o;
        o.frames = 150; // about 2.7 MB: the stream crosses a cluster boundary
        o.gop = 25;
        o.detail = 40;
        s_stream = new TestStream(withRecorderBytes(encodeTestStream(o), 7));
        TestStreamOptions b;
        b.frames = 30;
        b.bFrames = true;
        b.checksums = false;
        const TestStream bFrames = encodeTestStream(b);
        TestStreamOptions shortOne;
        shortOne.frames = 5;
        shortOne.gop = 5;
        shortOne.checksums = false;
        const QByteArray piece = encodeTestStream(shortOne).bytes;

        ImageBuilder builder((kLongClusters + 40) * uint64_t(kClusterSectors));
        builder.recorderSignature();
        std::vector<uint32_t> video;
        for (int at = 0, c = 8; at < s_stream->bytes.size(); at += int(kClusterBytes), ++c) {
            video.push_back(uint32_t(c));
            builder.clusterBytes(uint32_t(c), s_stream->bytes.mid(at, int(kClusterBytes)));
        }
        builder.recording(0, sampleTime(8, 0, 0), sampleTime(8, 0, 5), video, 0x71);
        builder.recording(1, sampleTime(9, 0), sampleTime(9, 5), {20, 21}, 0x72);
        builder.recording(2, sampleTime(10, 0), sampleTime(10, 0, 1), {22}, 0x73).clusterBytes(22, bFrames.bytes);
        std::vector<uint32_t> longOne;
        for (uint32_t c = 30; c < 30 + kLongClusters; ++c) {
            longOne.push_back(c);
            builder.clusterBytes(c, piece);
        }
        builder.recording(3, sampleTime(11, 0), sampleTime(13, 59, 59), longOne, 0x74);
        builder.recording(3, sampleTime(14, 0), sampleTime(14, 1), {24}, 0x75).clusterBytes(24, piece);

        // Channel 5: the stream cut inside its frame 140, an older recording's bytes after it.
        QByteArray cut = s_stream->bytes.left(int(s_stream->frames[140].offset + s_stream->frames[140].size / 2));
        for (int i = 0; cut.size() < int(kClusterBytes) + 300000; ++i)
            cut.append(char(0x20 + (i * 37) % 0x5F));
        builder.recording(4, sampleTime(15, 0), sampleTime(15, 0, 5), {25, 26}, 0x76)
            .clusterBytes(25, cut.left(int(kClusterBytes)))
            .clusterBytes(26, cut.mid(int(kClusterBytes)));
        // Channel 6: the stream, then the same again with an SPS that claims 16384x16000.
        const QByteArray both = s_stream->bytes + withClaimedSize(*s_stream, 1024, 1000).bytes;
        builder.recording(5, sampleTime(16, 0), sampleTime(16, 0, 11), {330, 331, 332}, 0x77);
        for (int c = 0; c < 3; ++c)
            builder.clusterBytes(uint32_t(330 + c), both.mid(c * int(kClusterBytes), int(kClusterBytes)));
        s_builder = new ImageBuilder(builder);
        ASSERT_TRUE(builder.write(image()));
        s_video = video;
        ASSERT_GE(video.size(), 2u);
    }
    static void TearDownTestSuite()
    {
        delete s_builder;
        delete s_stream;
        delete s_dir;
    }

    static QString image() { return s_dir->filePath(QStringLiteral("disk.img")); }
    QString folder(const QString &name) const
    {
        QDir().mkpath(tmp.filePath(name));
        return tmp.filePath(name);
    }

    static QTemporaryDir *s_dir;
    static TestStream *s_stream;
    static ImageBuilder *s_builder;
    static std::vector<uint32_t> s_video;
    QTemporaryDir tmp;
};

QTemporaryDir *VideoCli::s_dir = nullptr;
TestStream *VideoCli::s_stream = nullptr;
ImageBuilder *VideoCli::s_builder = nullptr;
std::vector<uint32_t> VideoCli::s_video;

TEST_F(VideoCli, Mp4BesideAnUnchangedMasterWithHashLinesForBoth)
{
    const QString out = folder(QStringLiteral("out"));
    const QString report = folder(QStringLiteral("rep")) + QStringLiteral("/case.xml");
    const ProcessRun r = runCli({QStringLiteral("export"), image(), QStringLiteral("--out"), out, QStringLiteral("--mp4"),
                          QStringLiteral("--sha256"), QStringLiteral("--report"), report});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    const QString name = nameOf(0, sampleTime(8, 0, 0), sampleTime(8, 0, 5));
    const QString mp4Name = QString(name).replace(QStringLiteral(".h264"), QStringLiteral(".mp4"));
    const QString master = out + QStringLiteral("/CAM1/") + name;
    const QString mp4 = out + QStringLiteral("/CAM1/playable/") + mp4Name;

    QByteArray clusters;
    for (const uint32_t c : s_video)
        clusters += readFileBytes(image(), s_builder->clusterFirstSector(c) * 512, kClusterBytes);
    const QByteArray masterBytes = fileBytes(master);
    EXPECT_EQ(masterBytes, clusters) << r.err.toStdString() << r.out.toStdString();
    EXPECT_TRUE(masterBytes.startsWith(s_stream->bytes));

    const DecodedVideo v = decodeFile(mp4);
    ASSERT_TRUE(v.opened);
    std::vector<uint64_t> expected;
    for (const TestFrame &f : s_stream->frames)
        expected.push_back(f.checksum);
    EXPECT_EQ(v.checksums, expected);
    EXPECT_EQ(v.errors, 0);
    EXPECT_TRUE(r.err.contains(QStringLiteral("CAM1/playable/%1: 150 frames at 25 fps (recorder stamps)").arg(mp4Name)))
        << r.err.toStdString();

    const QStringList lines = r.outLines();
    ASSERT_EQ(lines.size(), 2);
    EXPECT_EQ(lines[0], sha256Hex(masterBytes) + QStringLiteral("  CAM1/") + name);
    EXPECT_EQ(lines[1], sha256Hex(fileBytes(mp4)) + QStringLiteral("  CAM1/playable/") + mp4Name);
    // The copy names the master it was made from and its hash.
    EXPECT_TRUE(fileBytes(mp4).contains(sha256Hex(masterBytes).toLatin1()));
    EXPECT_TRUE(QDir(out + QStringLiteral("/CAM1/playable")).entryList(QDir::Files | QDir::Hidden).size() == 1);

    // In the report the copy is a file of its own, derived from its master and
    // its hash; both named from the report's folder.
    const QString xml = QString::fromUtf8(fileBytes(report));
    const int at = xml.indexOf(QStringLiteral("<filename>../out/CAM1/playable/") + mp4Name);
    ASSERT_GE(at, 0) << xml.toStdString();
    const QString entry = xml.mid(at, xml.indexOf(QStringLiteral("</fileobject>"), at) - at);
    EXPECT_TRUE(entry.contains(QStringLiteral("master=\"../out/CAM1/%1\" master_sha256=\"%2\"").arg(name, sha256Hex(masterBytes))))
        << entry.toStdString();
    EXPECT_TRUE(entry.contains(sha256Hex(fileBytes(mp4)))) << entry.toStdString();
    EXPECT_TRUE(entry.contains(QStringLiteral("<korvath:frames_written>150<"))) << entry.toStdString();
    EXPECT_TRUE(entry.contains(QStringLiteral("<korvath:frame_rate>25<"))) << entry.toStdString();

    // verify checks the copy with its master: one byte of the master changed, and the copy names it.
    const QString tie = QStringLiteral("playable/%1: OK; made from ../out/CAM1/%2: ").arg(mp4Name, name);
    const ProcessRun intact = runCli({QStringLiteral("verify"), report, QStringLiteral("--source"), image()});
    EXPECT_EQ(intact.code, 0) << intact.out.toStdString() << intact.err.toStdString();
    EXPECT_TRUE(intact.out.contains(tie + QStringLiteral("OK\n"))) << intact.out.toStdString();
    QFile changed(master);
    char byte = 0;
    ASSERT_TRUE(changed.open(QIODevice::ReadWrite) && changed.seek(100) && changed.getChar(&byte) && changed.seek(100)
                && changed.putChar(char(byte ^ 1)));
    changed.close();
    const ProcessRun after = runCli({QStringLiteral("verify"), report});
    EXPECT_EQ(after.code, 1);
    EXPECT_TRUE(after.out.contains(tie + QStringLiteral("CHANGED\n"))) << after.out.toStdString();
}

TEST_F(VideoCli, RecordingsWithoutAPlayableCopyStillGetTheirMaster)
{
    const struct {
        uint32_t channel;
        RecorderTime start, end;
        const char *said;
    } cases[] = {
        {1, sampleTime(9, 0), sampleTime(9, 5), "no H.264 video found"},
        {2, sampleTime(10, 0), sampleTime(10, 0, 1), "has B-frames"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.said);
        const QString out = folder(QString::number(c.channel));
        const ProcessRun r = runCli({QStringLiteral("export"), image(), QStringLiteral("--out"), out, QStringLiteral("--mp4"),
                              QStringLiteral("--channel"), QString::number(c.channel + 1)});
        EXPECT_EQ(r.code, 1);
        const QString name = nameOf(c.channel, c.start, c.end);
        EXPECT_TRUE(QFileInfo(out + QStringLiteral("/CAM%1/").arg(c.channel + 1) + name).isFile());
        EXPECT_TRUE(r.err.contains(name) && r.err.contains(QLatin1String(c.said))) << r.err.toStdString();
        EXPECT_TRUE(r.err.contains(QStringLiteral("0 of 1 playable copy written"))) << r.err.toStdString();
        const QString playable = out + QStringLiteral("/CAM%1/playable").arg(c.channel + 1);
        EXPECT_TRUE(QDir(playable).entryList(QDir::Files | QDir::Hidden).isEmpty());
    }
}

TEST_F(VideoCli, AnExistingMp4IsRefusedBeforeAnythingIsWritten)
{
    const QString out = folder(QStringLiteral("out"));
    const QStringList args = {QStringLiteral("export"), image(), QStringLiteral("--out"), out, QStringLiteral("--mp4")};
    ASSERT_EQ(runCli(args).code, 0);
    const QString master = out + QStringLiteral("/CAM1/") + nameOf(0, sampleTime(8, 0, 0), sampleTime(8, 0, 5));
    ASSERT_TRUE(QFile::remove(master));
    const ProcessRun again = runCli(args);
    EXPECT_EQ(again.code, 2);
    EXPECT_TRUE(again.err.contains(QStringLiteral(".mp4 exists already"))) << again.err.toStdString();
    EXPECT_FALSE(QFileInfo::exists(master));
    EXPECT_EQ(runCli(args + QStringList{QStringLiteral("--overwrite")}).code, 0);
    EXPECT_TRUE(QFileInfo(master).isFile());
}

// Sectors that fail on the drive: the master keeps zeros there, the MP4 drops
// the frames from there to the next key frame and keeps every frame before.
TEST_F(VideoCli, UnreadableSectorsDropFramesOnlyFromTheirPlace)
{
    const QString why = FaultMount::unavailableReason();
    if (!why.isEmpty())
        GTEST_SKIP() << "no failing drive through FUSE: " << why.toStdString();
    const uint64_t first = s_builder->clusterFirstSector(s_video[1]) + 100;
    FaultMount drive(image(), Faults{{{first, first + 9}}, {}, 0, -1});
    ASSERT_TRUE(drive.isMounted()) << drive.error().toStdString();
    const QString out = folder(QStringLiteral("damaged"));
    const ProcessRun r = runCli({QStringLiteral("export"), drive.path(), QStringLiteral("--out"), out, QStringLiteral("--mp4")});
    drive.unmount();
    EXPECT_EQ(r.code, 1);
    const QString mp4 = out + QStringLiteral("/CAM1/playable/") + nameOf(0, sampleTime(8, 0, 0), sampleTime(8, 0, 5)).replace(QStringLiteral(".h264"), QStringLiteral(".mp4"));
    const QRegularExpressionMatch m =
        QRegularExpression(QStringLiteral("(\\d+) frames at [0-9.]+ fps .*; (\\d+) frames? dropped for damage")).match(r.err);
    ASSERT_TRUE(m.hasMatch()) << r.err.toStdString();
    const size_t written = m.captured(1).toUInt(), dropped = m.captured(2).toUInt();

    // Every frame before the gap, then the stream's own tail from the first key frame after it.
    const qint64 damage = qint64(kClusterBytes) + 100 * 512, damageEnd = damage + 10 * 512;
    const std::vector<TestFrame> &frames = s_stream->frames;
    size_t before = 0;
    while (before < frames.size() && frameSlotEnd(*s_stream, before) <= damage)
        ++before;
    size_t resume = before;
    while (resume < frames.size() && !(frames[resume].key && frames[resume].offset >= damageEnd))
        ++resume;
    ASSERT_GT(before, 0u);
    ASSERT_LT(resume, frames.size());
    EXPECT_EQ(written, before + (frames.size() - resume));
    EXPECT_GE(dropped, resume - before - 1); // a frame wholly inside the gap may not be seen at all
    const DecodedVideo v = decodeFile(mp4);
    ASSERT_EQ(v.checksums.size(), written);
    for (size_t i = 0; i < written; ++i) {
        const size_t frame = i < before ? i : resume + (i - before);
        EXPECT_EQ(v.checksums[i], frames[frame].checksum) << "frame " << frame;
    }
}

// Ctrl-C once the native copy has its hash line, that is while its playable
// copy is being made: the native copy stays, no MP4 and no partial file.
TEST_F(VideoCli, CtrlCDuringTheRemuxLeavesNoPartialMp4)
{
    const QString out = folder(QStringLiteral("stopped"));
    const QString name = nameOf(3, sampleTime(11, 0), sampleTime(13, 59, 59));
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("QT_LOGGING_RULES"));
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(KORVATH_CLI_PATH), {QStringLiteral("export"), image(), QStringLiteral("--out"), out,
                                               QStringLiteral("--channel"), QStringLiteral("4"), QStringLiteral("--name"),
                                               name, QStringLiteral("--mp4"), QStringLiteral("--sha256")});
    ASSERT_TRUE(p.waitForStarted());
    while (!p.canReadLine() && p.state() == QProcess::Running)
        p.waitForReadyRead(100);
    const QString hashLine = QString::fromLocal8Bit(p.readLine());
    ASSERT_TRUE(hashLine.contains(name)) << hashLine.toStdString();
    ::kill(static_cast<pid_t>(p.processId()), SIGINT);
    ASSERT_TRUE(p.waitForFinished(60000));
    const QString err = QString::fromLocal8Bit(p.readAllStandardError());
    EXPECT_EQ(p.exitCode(), 128 + SIGINT) << err.toStdString();
    EXPECT_TRUE(err.contains(QStringLiteral("%1: no playable copy: stopped by SIGINT").arg(name))) << err.toStdString();
    EXPECT_EQ(QFileInfo(out + QStringLiteral("/CAM4/") + name).size(), qint64(kLongClusters) * kClusterBytes);
    EXPECT_TRUE(QDir(out + QStringLiteral("/CAM4/playable")).entryList(QDir::Files | QDir::Hidden).isEmpty());
    EXPECT_TRUE(p.readAllStandardOutput().isEmpty()); // no line for an MP4
}

// FFmpeg's own lines about a damaged stream (here its decoder's, on the cut
// last frame) are in the debug log only: none without --verbose.
TEST_F(VideoCli, FFmpegsOwnLinesOnlyWithVerbose)
{
    const QString name = nameOf(4, sampleTime(15, 0), sampleTime(15, 0, 5));
    for (const bool verbose : {false, true}) {
        SCOPED_TRACE(verbose);
        const QString out = folder(verbose ? QStringLiteral("verbose") : QStringLiteral("quiet"));
        QStringList args = {QStringLiteral("export"), image(), QStringLiteral("--out"), out, QStringLiteral("--mp4"),
                            QStringLiteral("--channel"), QStringLiteral("5")};
        if (verbose)
            args << QStringLiteral("--verbose");
        const ProcessRun r = runCli(args);
        EXPECT_EQ(r.code, 0) << r.err.toStdString();
        EXPECT_TRUE(r.err.contains(QStringLiteral(": 140 frames at ")) && r.err.contains(QStringLiteral("; 1 frame past the recording's end")))
            << r.err.toStdString();
        EXPECT_TRUE(QFileInfo(out + QStringLiteral("/CAM5/playable/") + QString(name).replace(QStringLiteral(".h264"), QStringLiteral(".mp4"))).isFile());
        EXPECT_EQ(r.err.count(QStringLiteral("FFmpeg: [h264 @")) > 0, verbose) << r.err.toStdString();
        EXPECT_EQ(r.err.contains(QStringLiteral("error while decoding")), verbose) << r.err.toStdString();
    }
}

// Pictures that claim more than any H.264 level allows are never decoded:
// the MP4 keeps the frames before them and says what it left out; the
// preview crosses out their tiles and says why.
TEST_F(VideoCli, PicturesBeyondTheLevelsAreLeftOutAndNamed)
{
    const QString name = nameOf(5, sampleTime(16, 0), sampleTime(16, 0, 11));
    const QString out = folder(QStringLiteral("huge"));
    const ProcessRun r = runCli({QStringLiteral("export"), image(), QStringLiteral("--out"), out, QStringLiteral("--mp4"),
                          QStringLiteral("--channel"), QStringLiteral("6")});
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains(QStringLiteral("150 frames at 25 fps")) && r.err.contains(QStringLiteral(
                    "150 frames claiming 16384x16000 (more than any H.264 level allows) left out undecoded")))
        << r.err.toStdString();
    const DecodedVideo v = decodeFile(out + QStringLiteral("/CAM6/playable/") + QString(name).replace(QStringLiteral(".h264"), QStringLiteral(".mp4")));
    EXPECT_EQ(v.checksums.size(), 150u);
    EXPECT_EQ(v.errors, 0);

    const ProcessRun p = runCli({QStringLiteral("preview"), image(), QStringLiteral("--out"), out, QStringLiteral("--channel"),
                          QStringLiteral("6"), QStringLiteral("--frames"), QStringLiteral("4")});
    EXPECT_EQ(p.code, 0) << p.err.toStdString();
    EXPECT_TRUE(p.out.contains(QStringLiteral(": 2 of 4 frames, "))) << p.out.toStdString();
    for (int k : {3, 4})
        EXPECT_TRUE(p.err.contains(QStringLiteral("%1: frame %2 of 4 (cluster %3 of the recording): no picture: its picture "
                                                  "claims 16384x16000, more than any H.264 level allows; not decoded")
                                       .arg(name)
                                       .arg(k)
                                       .arg(k - 2)))
            << p.err.toStdString();
}

// "PATH: F of K frames, N of M clusters read"
struct PreviewLine {
    QString path;
    int found = -1, frames = -1, read = -1, clusters = -1;
};
std::vector<PreviewLine> previewLines(const ProcessRun &r)
{
    static const QRegularExpression form(QStringLiteral("^(.*): (\\d+) of (\\d+) frames, (\\d+) of (\\d+) clusters? read$"));
    std::vector<PreviewLine> lines;
    for (const QString &l : r.outLines()) {
        const QRegularExpressionMatch m = form.match(l);
        if (m.hasMatch())
            lines.push_back({m.captured(1), m.captured(2).toInt(), m.captured(3).toInt(), m.captured(4).toInt(), m.captured(5).toInt()});
    }
    return lines;
}

TEST_F(VideoCli, PreviewOfOneRecordingToAPngPath)
{
    const QString png = tmp.filePath(QStringLiteral("sheet.png"));
    const QStringList args = {QStringLiteral("preview"), image(), QStringLiteral("--out"), png, QStringLiteral("--frames"),
                              QStringLiteral("2")};
    const ProcessRun r = runCli(args);
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    const QImage sheet(png);
    ASSERT_FALSE(sheet.isNull());
    // Two 320x240 frames side by side, each with a label under it.
    EXPECT_GE(sheet.width(), 2 * 320);
    EXPECT_LT(sheet.width(), 3 * 320);
    EXPECT_GE(sheet.height(), 240);
    EXPECT_LT(sheet.height(), 2 * 240);
    const std::vector<PreviewLine> lines = previewLines(r);
    ASSERT_EQ(lines.size(), 1u) << r.out.toStdString();
    EXPECT_EQ(lines[0].found, 2);
    EXPECT_EQ(lines[0].clusters, int(s_video.size()));

    // Not replaced without --overwrite; nothing else written either.
    const QByteArray before = fileBytes(png);
    const ProcessRun again = runCli(args + QStringList{QStringLiteral("--frames"), QStringLiteral("1")});
    EXPECT_EQ(again.code, 2);
    EXPECT_EQ(fileBytes(png), before);
    EXPECT_EQ(runCli({QStringLiteral("preview"), image(), QStringLiteral("--out"), png, QStringLiteral("--overwrite"),
                   QStringLiteral("--frames"), QStringLiteral("1")})
                  .code,
              0);
    EXPECT_LT(QImage(png).width(), sheet.width());
}

TEST_F(VideoCli, PreviewsOfSeveralRecordingsToAFolderReadFewClusters)
{
    const QString out = folder(QStringLiteral("sheets"));
    const ProcessRun r = runCli({QStringLiteral("preview"), image(), QStringLiteral("--out"), out, QStringLiteral("--channel"),
                          QStringLiteral("4")});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    const QStringList pngs = QDir(out + QStringLiteral("/CAM4")).entryList({QStringLiteral("*.png")}, QDir::Files);
    EXPECT_EQ(pngs.size(), 2);
    for (const QString &p : pngs) {
        const QImage sheet(out + QStringLiteral("/CAM4/") + p);
        EXPECT_GE(sheet.width(), 3 * 320) << p.toStdString(); // six frames: two rows of three
        EXPECT_GE(sheet.height(), 2 * 240) << p.toStdString();
    }
    const std::vector<PreviewLine> lines = previewLines(r);
    ASSERT_EQ(lines.size(), 2u) << r.out.toStdString();
    const PreviewLine &longOne = lines[0].clusters == int(kLongClusters) ? lines[0] : lines[1];
    EXPECT_EQ(longOne.clusters, int(kLongClusters));
    EXPECT_EQ(longOne.found, 6);
    EXPECT_GT(longOne.read, 0);
    EXPECT_LT(longOne.read, 20);
    EXPECT_TRUE(QFileInfo(longOne.path).isFile());

    // Several recordings cannot share one picture; a recording without video has none.
    EXPECT_EQ(runCli({QStringLiteral("preview"), image(), QStringLiteral("--out"), tmp.filePath(QStringLiteral("x.png")),
                   QStringLiteral("--channel"), QStringLiteral("4")})
                  .code,
              2);
    const ProcessRun none = runCli({QStringLiteral("preview"), image(), QStringLiteral("--out"), out, QStringLiteral("--channel"),
                             QStringLiteral("2")});
    EXPECT_EQ(none.code, 1);
    EXPECT_TRUE(none.err.contains(QStringLiteral("no preview"))) << none.err.toStdString();
    EXPECT_FALSE(QFileInfo::exists(out + QStringLiteral("/CAM2/") + nameOf(1, sampleTime(9, 0), sampleTime(9, 5)).replace(QStringLiteral(".h264"), QStringLiteral(".png"))));
}

TEST_F(VideoCli, UsageErrorsOfTheNewOptionsExitTwoAndWriteNothing)
{
    const QString out = folder(QStringLiteral("usage"));
    const struct {
        QStringList args;
        const char *said;
    } cases[] = {
        {{"preview", image(), "--out", out, "--frames", "0"}, "--frames must be a number from 1 to 64, not '0'"},
        {{"preview", image(), "--out", out, "--frames", "65"}, "--frames must be a number from 1 to 64, not '65'"},
        {{"preview", image(), "--out", out, "--frames", "six"}, "--frames must be a number from 1 to 64, not 'six'"},
        {{"preview", image()}, "'preview' needs --out PATH"},
        {{"preview", image(), "--out", out + "/missing/x.png"}, "does not exist"},
        {{"preview", image(), "--out", out + "/missing"}, "is neither an existing folder nor a .png file"},
        {{"preview", image(), "--out", out, "--sha256"}, "--sha256 does not apply to 'preview'"},
        {{"list", image(), "--mp4"}, "--mp4 does not apply to 'list'"},
        {{"export", image(), "--out", out, "--frames", "3"}, "--frames does not apply to 'export'"},
        {{"carve", image()}, "'carve' needs --out DIR"},
        {{"carve", image(), "--out", out, "--json", "--sha256"}, "not both"},
        {{"carve", image(), "--out", out, "--channel", "2"}, "--channel does not apply to 'carve'"},
        {{"list", image(), "--carved"}, "--carved does not apply to 'list'"},
        {{"overview", image(), "--out", out + "/p.html", "--unlisted"}, "--unlisted does not apply to 'overview'"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.said);
        const ProcessRun r = runCli(c.args);
        EXPECT_EQ(r.code, 2);
        EXPECT_TRUE(r.err.contains(QLatin1String(c.said))) << r.err.toStdString();
        EXPECT_TRUE(QDir(out).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden).isEmpty());
    }
}

// A recorder that filled a ring of 16 clusters (100-115) with channels 1 and 2
// interleaved (eight clusters each) and reused the oldest four for channel 3;
// a listed channel-1 recording with the same stamps as the overwritten one;
// an unlisted chain with impossible stamps holding video (120-121); and a
// zeroed stretch of the directory (300-305) over video of two sizes and bytes
// with start codes.
class UnlistedCli : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        s_dir = new QTemporaryDir;
        ImageBuilder b(2097152);
        b.recorderSignature();
        const PlannedRecording one{0, sampleTime(8, 0), sampleTime(8, 30), 8, 0xA}, two{1, sampleTime(8, 0), sampleTime(8, 31), 8, 0xB};
        b.playRecorder(100, 16, {{one, two}, {{2, sampleTime(9, 0), sampleTime(9, 10), 4, 0xC}}});
        b.recording(0, one.start, one.end, {200}, 0xD);
        const VideoClusters tail = videoForClusters(3, 320, 240, 20), wide = videoForClusters(2, 320, 240, 21),
                            narrow = videoForClusters(1, 352, 288, 22);
        for (const uint32_t c : {120u, 121u}) {
            RecordFields f;
            f.index = c;
            f.flag = 1;
            f.nextCluster = c == 120 ? 121 : 0;
            f.chainId = 0xE;
            f.channel = 1;
            f.startTime = f.endTime = packRecorderTime(2024, 13, 1, 8, 0, 0);
            b.record(f).clusterBytes(c, tail.bytes.mid(int(c - 119) * int(kClusterBytes), int(kClusterBytes)));
        }
        b.chain(3, sampleTime(6, 0), sampleTime(6, 10), {300, 301, 302, 303, 304, 305}, 0xF).zeroRecords(300, 6);
        b.clusterBytes(300, wide.bytes.left(int(kClusterBytes))).clusterBytes(301, wide.bytes.mid(int(kClusterBytes)));
        b.clusterBytes(302, startCodeDecoy(23, int(kClusterBytes))).clusterBytes(303, narrow.bytes).clusterContents(304);
        s_frames = {wide.frames, narrow.frames};
        ASSERT_TRUE(b.write(image()));
    }
    static void TearDownTestSuite() { delete s_dir; }
    static QString image() { return s_dir->filePath(QStringLiteral("disk.img")); }
    // The bytes the image holds for these clusters, back to back.
    static QByteArray clusters(const std::vector<uint32_t> &list)
    {
        QByteArray out;
        for (const uint32_t c : list)
            out += readFileBytes(image(), clusterSector(volumeInfoForSectors(2097152).data_offset, c) * kSectorSize,
                                 kClusterBytes);
        return out;
    }
    static QTemporaryDir *s_dir;
    static std::pair<int, int> s_frames;
    QTemporaryDir tmp;
};

QTemporaryDir *UnlistedCli::s_dir = nullptr;
std::pair<int, int> UnlistedCli::s_frames;

const std::vector<uint32_t> kTailOne{104, 106, 108, 110, 112, 114}, kTailTwo{105, 107, 109, 111, 113, 115};
const QString kTailOneName = QStringLiteral("2024-03-01 08-00-00_2024-03-01 08-30-00_CAM1_unlisted_from-cluster-104.h264");
const QString kTailTwoName = QStringLiteral("2024-03-01 08-00-00_2024-03-01 08-31-00_CAM2_unlisted_from-cluster-105.h264");
const QString kUnknownName = QStringLiteral("unknown-time_CAM2_unlisted_from-cluster-120.h264");

std::vector<uint32_t> numbers(const QJsonValue &array)
{
    std::vector<uint32_t> out;
    for (const QJsonValue v : array.toArray())
        out.push_back(uint32_t(v.toVariant().toLongLong()));
    return out;
}

TEST_F(UnlistedCli, ListedByChannelAndRangeWithTheirChains)
{
    const ProcessRun all = runCli({"list", image(), "--unlisted", "--channel", "all", "--json"});
    ASSERT_EQ(all.code, 0) << all.err.toStdString();
    const QJsonArray a = QJsonDocument::fromJson(all.out.toUtf8()).array();
    const std::tuple<QString, qint64, std::vector<uint32_t>, bool> expected[] = {
        {kTailOneName, 0xA, kTailOne, true}, {kTailTwoName, 0xB, kTailTwo, true}, {kUnknownName, 0xE, {120, 121}, false}};
    ASSERT_EQ(a.size(), 3);
    for (int i = 0; i < 3; ++i) {
        const QJsonObject o = a[i].toObject();
        EXPECT_TRUE(o["unlisted"].toBool());
        EXPECT_EQ(o["start"].isNull(), !o["times_known"].toBool());
        EXPECT_EQ(std::make_tuple(o["name"].toString(), o["chain_id"].toVariant().toLongLong(), numbers(o["clusters"]),
                                  o["times_known"].toBool()),
                  expected[i]);
    }
    // Another day on channel 2: only the one whose times are unknown, marked.
    const ProcessRun later = runCli({"list", image(), "--unlisted", "--channel", "2", "--from", "2024-03-02"});
    EXPECT_EQ(later.outLines(), QStringList{kUnknownName + QStringLiteral("\t2\t4194304\tunknown time")});
    EXPECT_EQ(runCli({"list", image(), "--channel", "all"}).outLines().size(), 2) << "none of them without --unlisted";
}

TEST_F(UnlistedCli, ExportedBesideTheListedWithHashesAndOrigin)
{
    const QString out = tmp.path(), report = tmp.filePath(QStringLiteral("report.xml"));
    ASSERT_EQ(runCli({"export", image(), "--out", out, "--channel", "all"}).code, 0);
    const ProcessRun r = runCli({"export", image(), "--out", out, "--channel", "all", "--unlisted", "--sha256", "--report",
                          report});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    const std::pair<QString, QByteArray> files[] = {{"CAM1/unlisted/" + kTailOneName, clusters(kTailOne)},
                                                    {"CAM2/unlisted/" + kTailTwoName, clusters(kTailTwo)},
                                                    {"CAM2/unlisted/" + kUnknownName, clusters({120, 121})}};
    for (const auto &f : files) {
        EXPECT_EQ(fileBytes(out + "/" + f.first), f.second) << f.first.toStdString();
        EXPECT_TRUE(r.outLines().contains(sha256Hex(f.second) + "  " + f.first)) << f.first.toStdString();
    }
    EXPECT_TRUE(QFileInfo::exists(out + "/CAM1/2024-03-01 08-00-00_2024-03-01 08-30-00_CAM1.h264"))
        << "the listed recording of the same stamps keeps its file";
    const QString xml = QString::fromUtf8(fileBytes(report));
    EXPECT_EQ(xml.count(QStringLiteral(">unlisted chain</korvath:origin>")), 3);
    EXPECT_TRUE(xml.contains(QStringLiteral("chain id 14; its stamps are implausible, times unknown")));
}

TEST_F(UnlistedCli, CarvedFragmentsWrittenWholeAndOnlyOnce)
{
    const QString out = tmp.path(), report = tmp.filePath(QStringLiteral("carved.xml"));
    const ProcessRun r = runCli({"carve", image(), "--out", out, "--json", "--report", report});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    const QJsonArray a = QJsonDocument::fromJson(r.out.toUtf8()).array();
    const std::tuple<qint64, qint64, int, int, int> expected[] = {{300, 2, s_frames.first, 320, 240},
                                                                  {303, 1, s_frames.second, 352, 288}};
    ASSERT_EQ(a.size(), 2) << r.out.toStdString();
    for (int i = 0; i < 2; ++i) {
        const QJsonObject o = a[i].toObject();
        EXPECT_EQ(std::make_tuple(o["first_cluster"].toVariant().toLongLong(), o["clusters"].toVariant().toLongLong(),
                                  o["frames"].toInt(), o["width"].toInt(), o["height"].toInt()),
                  expected[i]);
    }
    EXPECT_EQ(fileBytes(out + "/carved/carved_clusters-300-301.h264"), clusters({300, 301}));
    EXPECT_EQ(fileBytes(out + "/carved/carved_clusters-303-303.h264"), clusters({303}));
    EXPECT_EQ(QDir(out + "/carved").entryList(QDir::Files).size(), 2);
    EXPECT_EQ(QString::fromUtf8(fileBytes(report)).count(QStringLiteral(">carved fragment</korvath:origin>")), 2);
    const ProcessRun again = runCli({"carve", image(), "--out", out});
    EXPECT_EQ(again.code, 2) << "the files are there: nothing is replaced";
}

TEST_F(UnlistedCli, PreviewsAndThePageShowBothKinds)
{
    const QString out = tmp.path(), page = tmp.filePath(QStringLiteral("page.html"));
    EXPECT_EQ(runCli({"preview", image(), "--out", out, "--carved", "--frames", "2"}).code, 0);
    EXPECT_FALSE(QImage(out + "/carved/carved_clusters-300-301.png").isNull());
    EXPECT_FALSE(QImage(out + "/carved/carved_clusters-303-303.png").isNull());
    EXPECT_EQ(runCli({"preview", image(), "--out", out, "--unlisted", "--channel", "2", "--name", kUnknownName}).code, 0);
    EXPECT_FALSE(QImage(out + "/CAM2/unlisted/unknown-time_CAM2_unlisted_from-cluster-120.png").isNull());
    ASSERT_EQ(runCli({"overview", image(), "--out", page, "--carved"}).code, 0);
    const QString html = QString::fromUtf8(fileBytes(page));
    EXPECT_EQ(html.count(QStringLiteral("<div class=\"ubar\"")), 2) << "the unknown-time one has no place in time";
    EXPECT_TRUE(html.contains(QStringLiteral("<div class=\"ubar\" data-channel=\"0\" data-start=\"%1\"").arg(sampleTime(8, 0))));
    EXPECT_EQ(html.count(QStringLiteral("<div class=\"frag\"")), 2);
    EXPECT_TRUE(html.contains(QStringLiteral("<div class=\"frag\" data-first=\"300\" data-clusters=\"2\"")));
}

#else

TEST(VideoCli, SkippedWithoutFFmpeg)
{
    GTEST_SKIP() << "korvath_video is not built (FFmpeg's libraries missing)";
}

#endif

} // namespace
