// korvath-cli list and export on images that are not whole or not quite a
// recorder's: what is found is still listed, every loss is counted in words
// that agree with their number, and the exit status says something was lost.
#include "faultdevice.h"

#include "scan.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <unistd.h>

using namespace korvath;
using namespace korvath::testkit;

namespace {

RecorderTime stamp(int month, int day, int hour, int minute, int second)
{
    return packRecorderTime(2024, month, day, hour, minute, second);
}

// The text lines `list` prints for these recordings (channel 1 unless `all`).
QString listLines(const QList<Recording> &recordings, bool all = false)
{
    QString text;
    for (const Recording &r : recordings)
        text += (all ? QString::number(r.channel + 1) + '\t' : QString()) +
                QStringLiteral("%1\t%2\t%3\n").arg(r.name).arg(r.clusters.size()).arg(r.clusters.size() * 2097152ull);
    return text;
}

Recording made(uint32_t channel, RecorderTime start, RecorderTime end, const std::vector<uint32_t> &clusters)
{
    Recording r;
    r.channel = channel;
    r.startTime = start;
    r.endTime = end;
    r.name = recordingFileName(start, end, channel);
    for (const uint32_t c : clusters)
        r.clusters.push_back(c);
    return r;
}

class CliListing : public ::testing::Test
{
protected:
    QString add(ImageBuilder &b, const Recording &r, uint32_t chainId)
    {
        b.recording(r.channel, r.startTime, r.endTime, std::vector<uint32_t>(r.clusters.begin(), r.clusters.end()),
                    chainId);
        return r.name;
    }

    QString makeDir(const QString &name) const
    {
        QDir().mkpath(tmp.filePath(name));
        return tmp.filePath(name);
    }

    QTemporaryDir tmp;
    QString image = tmp.filePath(QStringLiteral("disk.img"));
};

// Records 5, 20 and 40 lie in the directory's first three sectors, record 100
// in its seventh; the image ends inside the directory.
TEST_F(CliListing, ACutDirectoryStillListsWhatWasRead)
{
    const QList<Recording> recs = {made(0, sampleTime(8, 0), sampleTime(8, 5), {5}), made(0, sampleTime(9, 0), sampleTime(9, 5), {20}),
                                   made(0, sampleTime(10, 0), sampleTime(10, 5), {40, 41}), made(0, sampleTime(11, 0), sampleTime(11, 5), {100})};
    ImageBuilder whole(80 * 4096);
    const uint64_t dir = whole.directorySector(), dirSize = whole.layout().dir_size;
    const struct {
        const char *what;
        uint64_t keptBytes; // of the directory
        int listed;
        QString unreadable; // as the message names them
    } cases[] = {
        {"cut in its fourth sector", 3 * 512 + 100, 3,
         QStringLiteral("%1 of the directory's %2 sectors could not be read (sectors %3-%4)")
             .arg(dirSize - 3)
             .arg(dirSize)
             .arg(dir + 3)
             .arg(dir + dirSize - 1)},
        {"one sector short", (dirSize - 1) * 512, 4,
         QStringLiteral("1 of the directory's %1 sectors could not be read (sector %2)").arg(dirSize).arg(dir + dirSize - 1)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        ImageBuilder b(80 * 4096);
        b.recorderSignature();
        uint32_t id = 0x300;
        for (const Recording &r : recs)
            add(b, r, id++);
        ASSERT_TRUE(b.write(image));
        const uint64_t size = dir * 512 + c.keptBytes;
        ASSERT_EQ(::truncate(image.toLocal8Bit().constData(), static_cast<off_t>(size)), 0);
        // The cut image has the same layout, so the directory is looked for where it was.
        const VolumeInfo cut = volumeInfoForSectors(size / 512);
        ASSERT_EQ(directoryStartSector(cut, 0), dir);
        ASSERT_EQ(cut.dir_size, dirSize);

        const ProcessRun r = runCli({"list", image});
        EXPECT_EQ(r.code, 1);
        EXPECT_EQ(r.out, listLines(recs.mid(0, c.listed)));
        EXPECT_EQ(r.errLines(), QStringList{"korvath-cli: " + c.unreadable +
                                            "; recordings described there are not listed"});
        const ProcessRun json = runCli({"list", image, "--json"});
        EXPECT_EQ(json.code, 1);
        EXPECT_EQ(QJsonDocument::fromJson(json.out.toUtf8()).array().size(), c.listed);
    }
}

TEST_F(CliListing, NoSignatureIsSaidAndTheListIsStillMade)
{
    ImageBuilder b(80 * 4096); // sector 0 all zeros
    const QList<Recording> recs = {made(0, sampleTime(8, 0), sampleTime(8, 5), {5}), made(0, sampleTime(9, 0), sampleTime(9, 5), {6, 7})};
    add(b, recs[0], 1);
    add(b, recs[1], 2);
    ASSERT_TRUE(b.write(image));
    const QString line = "korvath-cli: sector 0 carries no recorder signature: this may not be a recorder disk, and the "
                         "list may be empty or wrong";
    const ProcessRun text = runCli({"list", image});
    EXPECT_EQ(text.code, 0);
    EXPECT_EQ(text.out, listLines(recs));
    EXPECT_EQ(text.errLines(), QStringList{line});
    const ProcessRun json = runCli({"list", image, "--json"});
    EXPECT_EQ(QJsonDocument::fromJson(json.out.toUtf8()).array().size(), 2);
    EXPECT_EQ(json.errLines(), QStringList{line});
    // The export reads the same listing.
    const QString out = makeDir("out");
    const ProcessRun exported = runCli({"export", image, "--out", out});
    EXPECT_EQ(exported.code, 0);
    EXPECT_EQ(exported.errLines().value(0), line);
    EXPECT_EQ(QDir(out + "/CAM1").entryList(QDir::Files), (QStringList{recs[0].name, recs[1].name}));
}

// A date alone is its first second in --from and its last in --to.
TEST_F(CliListing, ADateAloneCoversTheWholeDay)
{
    ImageBuilder b(80 * 4096);
    b.recorderSignature();
    const QList<Recording> recs = {
        made(0, stamp(2, 29, 23, 59, 0), stamp(2, 29, 23, 59, 59), {5}), // ends the second before
        made(0, stamp(3, 1, 0, 0, 0), stamp(3, 1, 0, 0, 30), {6}),       // starts on the first second
        made(0, stamp(3, 1, 23, 59, 30), stamp(3, 1, 23, 59, 59), {7}),  // ends on the last second
        made(0, stamp(3, 2, 0, 0, 0), stamp(3, 2, 0, 1, 0), {8}),        // starts the second after
    };
    uint32_t id = 0x400;
    for (const Recording &r : recs)
        add(b, r, id++);
    ASSERT_TRUE(b.write(image));
    const struct {
        QStringList range;
        QList<int> listed;
    } cases[] = {
        {{"--from", "2024-03-01", "--to", "2024-03-01"}, {1, 2}},
        {{"--from", "2024-03-02"}, {3}},
        {{"--to", "2024-02-29"}, {0}},
        {{"--from", "2024-02-29", "--to", "2024-03-02"}, {0, 1, 2, 3}},
        {{"--from", "2024-03-03"}, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.range.join(' ').toStdString());
        QList<Recording> want;
        for (const int k : c.listed)
            want << recs[k];
        const ProcessRun text = runCli(QStringList{"list", image} + c.range);
        const ProcessRun json = runCli(QStringList{"list", image, "--json"} + c.range);
        EXPECT_EQ(text.code, 0);
        EXPECT_EQ(json.code, 0);
        EXPECT_EQ(text.out, listLines(want));
        QStringList jsonNames;
        for (const QJsonValue v : QJsonDocument::fromJson(json.out.toUtf8()).array())
            jsonNames << v.toObject().value("name").toString();
        QStringList names;
        for (const Recording &r : want)
            names << r.name;
        EXPECT_EQ(jsonNames, names);
        if (want.isEmpty()) {
            EXPECT_EQ(json.out.simplified(), "[ ]");
            EXPECT_EQ(json.errLines(), QStringList{"korvath-cli: no recording of channel 1 from 2024-03-03 00:00:00 to "
                                                   "2063-12-31 23:59:59"});
        }
    }
}

// Every count in the summary with one and with more than one.
TEST_F(CliListing, CountsAgreeWithTheirNumber)
{
    const Recording one = made(0, sampleTime(8, 0), sampleTime(8, 5), {5});
    const Recording two = made(0, sampleTime(9, 0), sampleTime(9, 5), {6});
    ImageBuilder full(80 * 4096);
    const uint64_t clusterEnd = full.clusterFirstSector(6) + 4096;
    const struct {
        const char *what;
        uint64_t sectors; // of the image
        bool both;        // both recordings, or the first alone
        int fullDisk;     // how many of them cannot be written (a folder stands at their temporary name)
        int code;
        QString summary;
    } cases[] = {
        {"one recording", 80 * 4096, false, 0, 0,
         "1 of 1 recording written, 2097152 bytes, 0 unreadable sectors, 0 failures"},
        {"two recordings, one unreadable sector", clusterEnd - 1, true, 0, 1,
         "2 of 2 recordings written, 4194304 bytes, 1 unreadable sector, 0 failures"},
        {"two unreadable sectors, one failure", clusterEnd - 2, true, 1, 1,
         "1 of 2 recordings written, 2097152 bytes, 2 unreadable sectors, 1 failure"},
        {"two failures", 80 * 4096, true, 2, 1, "0 of 2 recordings written, 0 bytes, 0 unreadable sectors, 2 failures"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        ImageBuilder b(c.sectors);
        b.recorderSignature();
        add(b, one, 1);
        if (c.both)
            add(b, two, 2);
        ASSERT_TRUE(b.write(image));
        const QString out = makeDir(QString::fromLatin1(c.what).replace(' ', '_'));
        ASSERT_TRUE(QDir().mkpath(out + "/CAM1"));
        const QString names[] = {one.name, two.name};
        for (int k = 0; k < c.fullDisk; ++k)
            ASSERT_TRUE(QDir().mkpath(out + "/CAM1/" + names[k] + ".part"));
        const QString summary = c.summary;
        const ProcessRun r = runCli({"export", image, "--out", out});
        EXPECT_EQ(r.code, c.code);
        EXPECT_EQ(r.errLines().value(r.errLines().size() - 1), "korvath-cli: " + summary) << r.err.toStdString();
        if (c.sectors == clusterEnd - 1)
            EXPECT_TRUE(r.err.contains(two.name + ": 1 of 4096 sectors could not be read and were written as zeros "
                                                  "(cluster 6: 1 sector)"))
                << r.err.toStdString();
    }
}

// Channel 1's folder is a file: its recordings are named as not written, the
// other channel's are written, and the summary still comes.
TEST_F(CliListing, ACameraFolderThatCannotBeMadeIsCounted)
{
    ImageBuilder b(80 * 4096);
    b.recorderSignature();
    const Recording a = made(0, sampleTime(8, 0), sampleTime(8, 5), {5}), c = made(1, sampleTime(8, 0), sampleTime(8, 5), {6});
    add(b, a, 1);
    add(b, c, 2);
    ASSERT_TRUE(b.write(image));
    const QString out = makeDir("out");
    QFile blocker(out + "/CAM1");
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();

    const ProcessRun r = runCli({"export", image, "--out", out, "--channel", "all"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.errLines(), (QStringList{"korvath-cli: the folder " + out +
                                             "/CAM1 could not be created: a file of that name is in the way",
                                         "korvath-cli: " + a.name + ": not written",
                                         "korvath-cli: 1 of 2 recordings written, 2097152 bytes, 0 unreadable "
                                         "sectors, 1 failure"}));
    EXPECT_EQ(QDir(out + "/CAM2").entryList(QDir::Files), QStringList{c.name});
    EXPECT_EQ(QFileInfo(out + "/CAM1").size(), 0);

    // The folder alone, with nothing else at fault.
    const ProcessRun alone = runCli({"export", image, "--out", out});
    EXPECT_EQ(alone.code, 1);
    EXPECT_EQ(alone.errLines().value(2),
              "korvath-cli: 0 of 1 recording written, 0 bytes, 0 unreadable sectors, 1 failure");
}

// Records on channels 1 to 64 (the top six bits hold channel - 1), two of
// them on one channel and two at one time on different channels.
TEST_F(CliListing, AllChannelsIsEveryChannelInOnePass)
{
    ImageBuilder b(80 * 4096);
    b.recorderSignature();
    const uint32_t channels[] = {0, 0, 1, 7, 31, 32, 62, 63};
    uint32_t cluster = 5;
    int minute = 0;
    for (const uint32_t ch : channels) {
        RecordFields r;
        r.index = cluster;
        r.flag = 2;
        r.startTime = sampleTime(8, minute % 3);
        r.endTime = sampleTime(9, minute % 3);
        r.chainId = 0x500 + cluster;
        r.channel = ch;
        r.channelLowBits = 0x2ABCDEF; // ignored
        b.record(r).clusterContents(cluster);
        cluster += 2;
        ++minute;
    }
    ASSERT_TRUE(b.write(image));

    QString union_;
    QJsonArray unionJson;
    int nonEmpty = 0;
    for (int ch = 1; ch <= 64; ++ch) {
        const ProcessRun one = runCli({"list", image, "--channel", QString::number(ch)});
        ASSERT_EQ(one.code, 0) << ch;
        nonEmpty += one.out.isEmpty() ? 0 : 1;
        for (const QString &line : one.out.split('\n', Qt::SkipEmptyParts))
            union_ += QString::number(ch) + '\t' + line + '\n';
        for (const QJsonValue v : QJsonDocument::fromJson(runCli({"list", image, "--channel", QString::number(ch),
                                                                  "--json"})
                                                              .out.toUtf8())
                                      .array())
            unionJson.append(v);
    }
    EXPECT_EQ(nonEmpty, 7);
    const ProcessRun all = runCli({"list", image, "--channel", "all"});
    EXPECT_EQ(all.code, 0);
    EXPECT_TRUE(all.err.isEmpty()) << all.err.toStdString();
    EXPECT_EQ(all.out, union_);
    EXPECT_EQ(all.out.count('\n'), 8);
    EXPECT_TRUE(all.out.startsWith("1\t") && all.out.contains("\n64\t"));
    const ProcessRun json = runCli({"list", image, "--channel", "all", "--json"});
    EXPECT_EQ(QJsonDocument::fromJson(json.out.toUtf8()).array(), unionJson);
}

} // namespace
