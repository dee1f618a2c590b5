// Hostile and unlucky images through the real korvath-cli: sets mixed from
// two acquisitions, cut or misnamed, a sector 0 or directory that cannot be
// read (damaged E01 chunks, a failing drive through FUSE), and recordings
// that share a name. Nothing may be read from bytes that were not there, and
// whatever cannot be used is named on stderr and in the report.
#include "ewfimage.h"
#include "faultdevice.h"
#include "scan.h"

#include <QDirIterator>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QXmlStreamReader>
#include <functional>
#include <iostream>
#include <random>

using namespace korvath;
using namespace korvath::testkit;

namespace {

constexpr uint64_t kSectors = 80 * 4096;
constexpr uint32_t kPartitionStart = 63;

struct Run {
    QString part;
    uint64_t first = 0, count = 0;
    bool operator==(const Run &o) const { return part == o.part && first == o.first && count == o.count; }
};
void PrintTo(const Run &r, std::ostream *os)
{
    *os << r.part.toStdString() << ' ' << r.first << '+' << r.count;
}

// What a report says of its source.
struct SourceFacts {
    bool read = false;
    QString format, partitionStart;
    std::vector<Run> unreadable;
    int files = 0;
};

SourceFacts readSource(const QString &path)
{
    SourceFacts s;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return s;
    QXmlStreamReader x(&f);
    while (!x.atEnd()) {
        if (x.readNext() != QXmlStreamReader::StartElement)
            continue;
        const QStringRef n = x.name();
        if (n == QLatin1String("image_format"))
            s.format = x.readElementText();
        else if (n == QLatin1String("partition_start"))
            s.partitionStart = x.readElementText();
        else if (n == QLatin1String("run"))
            s.unreadable.push_back({x.attributes().value("part").toString(),
                                    x.attributes().value("first_sector").toULongLong(),
                                    x.attributes().value("sectors").toULongLong()});
        else if (n == QLatin1String("fileobject"))
            ++s.files;
    }
    s.read = !x.hasError();
    return s;
}

// The images every case starts from, made once: the recorder disk (a boot
// record with the partition at sector 63), a disk of the same size with
// other contents, one of another size, and E01 and split sets of them.
struct Images {
    QTemporaryDir tmp;
    QString error;
    ImageBuilder disk{kSectors};
    QString path(const QString &name) const { return tmp.filePath(name); }

    bool make()
    {
        disk.masterBootRecord(kPartitionStart);
        disk.recording(0, at(8, 0), at(8, 10), {25, 26});
        disk.recording(1, at(9, 0), at(9, 5), {40});
        ImageBuilder other(kSectors), smaller(kSectors - 10 * 4096);
        other.masterBootRecord(kPartitionStart).recording(0, at(10, 0), at(10, 5), {30});
        smaller.masterBootRecord(kPartitionStart).recording(0, at(10, 0), at(10, 5), {30});
        const QStringList segments{"-c", "none", "-S", "64MiB"};
        return disk.write(path("disk.img"), &error) && other.write(path("other.img"), &error)
               && smaller.write(path("smaller.img"), &error)
               && ewfAcquire(path("disk.img"), path("plain/case"), segments, &error)
               && ewfAcquire(path("other.img"), path("other/case"), segments, &error)
               && ewfAcquire(path("smaller.img"), path("smaller/case"), segments, &error)
               && ewfAcquire(path("disk.img"), path("old/case"), {"-c", "none", "-f", "ewf", "-S", "64MiB"}, &error)
               && QDir().mkpath(path("split"))
               && runTool("split", {"-b", "50M", "-d", "-a", "3", "--numeric-suffixes=1", path("disk.img"),
                                    path("split/disk.")}, &error);
    }

    // A folder `name` of the files of `from` (copied, so that they can be
    // changed), then `with` (target name -> file) in place of some of them.
    QString setOf(const QString &name, const QString &from, const QMap<QString, QString> &with = {})
    {
        QDir().mkpath(path(name));
        for (const QString &f : QDir(path(from)).entryList(QDir::Files))
            QFile::copy(path(from + "/" + f), path(name + "/" + f));
        for (auto it = with.cbegin(); it != with.cend(); ++it) {
            QFile::remove(path(name + "/" + it.key()));
            QFile::copy(it.value(), path(name + "/" + it.key()));
        }
        return path(name);
    }
};
Images *g = nullptr;

bool cut(const QString &file, qint64 size)
{
    QFile f(file);
    return f.resize(size);
}

// One hostile source: what it is opened as, and what korvath-cli must say.
struct Prepared {
    QString source;
    int code = 0;
    QStringList said;     // on stderr
    QString neverSaid;    // not on stderr
    QString format;       // in the report, for a source that opens
    bool listsAsRaw = false; // lists exactly what the raw image lists
    std::vector<Run> unreadable;
    std::shared_ptr<FaultMount> drive;
    QString skip;         // why the case cannot be had here
};

struct Hostile {
    const char *what;
    std::function<Prepared()> prepare;
};

// The sectors of the directory inside the E01 chunk that holds `sector`.
Run directoryInChunk(uint64_t sector)
{
    const uint64_t chunk = sector / kEwfChunkSectors * kEwfChunkSectors;
    const uint64_t first = std::max(chunk, g->disk.directorySector());
    return {"directory", first, chunk + kEwfChunkSectors - first};
}

const Hostile kHostile[] = {
    {"E01 whose first chunk fails its checksum",
     [] {
         Prepared p{g->setOf("badfirst", "plain") + "/case.E01", 1, {"sector 0 could not be read", "nothing was listed"}};
         p.format = "E01";
         p.unreadable = {{"sector 0", 0, 1}};
         EXPECT_TRUE(corruptChunk(p.source, 0, &g->error)) << g->error.toStdString();
         return p;
     }},
    {"E01 with a directory chunk that fails its checksum",
     [] {
         // The records of the recording at clusters 25-26 lie in the directory's second sector.
         const uint64_t sector = g->disk.directorySector() + 1;
         const Run lost = directoryInChunk(sector);
         Prepared p{g->setOf("baddir", "plain") + "/case.E01", 1,
                    {QStringLiteral("sectors %1-%2").arg(lost.first).arg(lost.first + lost.count - 1)}};
         p.format = "E01";
         p.unreadable = {lost};
         EXPECT_TRUE(corruptChunk(p.source, sector, &g->error)) << g->error.toStdString();
         return p;
     }},
    {"E01 sets that carry set identifiers",
     [] {
         Prepared p{g->setOf("ids", "plain") + "/case.E01", 0, {}};
         p.format = "E01";
         p.listsAsRaw = true;
         for (const QString &f : QDir(g->path("ids")).entryList(QDir::Files))
             EXPECT_TRUE(setEwfSetIdentifier(g->path("ids/" + f), QByteArray(16, '\x11'), &g->error));
         return p;
     }},
    {"E01 segment of another set (set identifier)",
     [] {
         const QString foreign = g->setOf("foreign", "other") + "/case.E02";
         EXPECT_TRUE(setEwfSetIdentifier(foreign, QByteArray(16, '\x22'), &g->error));
         Prepared p{g->setOf("mixedid", "ids", {{"case.E02", foreign}}) + "/case.E01", 2,
                    {"mixedid/case.E02 belongs to another image set", "2222"}};
         return p;
     }},
    {"E01 segment of an acquisition of another disk",
     [] {
         return Prepared{g->setOf("mixedmedium", "plain", {{"case.E02", g->path("smaller/case.E02")}}) + "/case.E01",
                         2,
                         {"mixedmedium/case.E02 belongs to another image set", "another medium"}};
     }},
    {"E01 whose last segment is truncated",
     [] {
         Prepared p{g->setOf("cutlast", "plain") + "/case.E01", 2, {"cutlast/case.E03 is truncated"}, "missing"};
         EXPECT_TRUE(cut(g->path("cutlast/case.E03"), QFileInfo(g->path("cutlast/case.E03")).size() / 2));
         return p;
     }},
    {"E01 whose middle segment is truncated",
     [] {
         Prepared p{g->setOf("cutmiddle", "plain") + "/case.E01", 2, {"cutmiddle/case.E02 is truncated"}, "missing"};
         EXPECT_TRUE(cut(g->path("cutmiddle/case.E02"), 1 << 20));
         return p;
     }},
    {"lowercase E01 set beside notes of the case",
     [] {
         const QString dir = g->setOf("notes", "old");
         for (const char *ext : {"txt", "log", "xml", "zip"}) {
             QFile f(dir + "/case." + ext);
             EXPECT_TRUE(f.open(QIODevice::WriteOnly) && f.write("notes of the case\n") > 0);
         }
         Prepared p{dir + "/case.e01", 0, {}};
         p.format = "E01";
         p.listsAsRaw = true;
         return p;
     }},
    {"split raw set with a short middle piece",
     [] {
         const QString dir = g->setOf("shortpiece", "split");
         const qint64 shorter = QFileInfo(dir + "/disk.002").size() - 512;
         EXPECT_TRUE(cut(dir + "/disk.002", shorter));
         return Prepared{dir + "/disk.001", 2, {QStringLiteral("shortpiece/disk.002 is %1 bytes long").arg(shorter)}};
     }},
    {"raw image named .E01",
     [] {
         QFile::copy(g->path("disk.img"), g->path("raw.E01"));
         Prepared p{g->path("raw.E01"), 0, {"named like an E01 image"}};
         p.format = "raw image";
         p.listsAsRaw = true;
         return p;
     }},
    {"garbage named .aff",
     [] {
         QFile f(g->path("junk.aff"));
         std::minstd_rand random(29);
         QByteArray junk(1 << 20, '\0');
         for (char &c : junk)
             c = char(random());
         EXPECT_TRUE(f.open(QIODevice::WriteOnly) && f.write(junk) == junk.size());
         Prepared p{g->path("junk.aff"), 0, {"named like an AFF image"}};
         p.format = "raw image";
         return p;
     }},
    {"failing drive whose sector 0 answers EIO",
     [] {
         Prepared p;
         p.skip = FaultMount::unavailableReason();
         if (!p.skip.isEmpty())
             return p;
         p.drive = std::make_shared<FaultMount>(g->path("disk.img"), Faults{{{0, 0}}, {}, 0, -1});
         p.source = p.drive->path();
         p.code = 1;
         p.said = QStringList{"sector 0 could not be read"};
         p.format = "raw image";
         p.unreadable = {{"sector 0", 0, 1}};
         return p;
     }},
};

class HostileImage : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        g = new Images;
        if (QStandardPaths::findExecutable("ewfacquire").isEmpty())
            g->error = "ewfacquire (ewf-tools) is not installed";
        else
            g->make();
    }
    static void TearDownTestSuite()
    {
        delete g;
        g = nullptr;
    }
    void SetUp() override
    {
        if (g->error.contains("not installed"))
            GTEST_SKIP() << g->error.toStdString();
        ASSERT_EQ(g->error, QString());
    }
};

// Each case through `export --report`: the exit status, what stderr names,
// and, where the source opens, what the report says of it. A source refused
// is refused before anything is written.
TEST_F(HostileImage, NothingIsReadFromBytesThatWereNotThere)
{
    const auto raw = runCli({"list", g->path("disk.img"), "--channel", "all"});
    ASSERT_EQ(raw.code, 0) << raw.err.toStdString();
    ASSERT_EQ(raw.out.count('\n'), 2);
    for (const Hostile &h : kHostile) {
        SCOPED_TRACE(h.what);
        const Prepared p = h.prepare();
        if (!p.skip.isEmpty()) {
            std::cout << "[ SKIPPED  ] " << h.what << ": " << p.skip.toStdString() << std::endl;
            continue;
        }
        ASSERT_TRUE(!p.drive || p.drive->isMounted()) << p.drive->error().toStdString();
        const QString out = g->path(QStringLiteral("out-%1").arg(qHash(QString(h.what)))), report = out + ".xml";
        QDir().mkpath(out);
        const auto r = runCli({"export", p.source, "--out", out, "--channel", "all", "--report", report});
        EXPECT_EQ(r.code, p.code) << r.err.toStdString();
        for (const QString &s : p.said)
            EXPECT_TRUE(r.err.contains(s)) << s.toStdString() << " not in: " << r.err.toStdString();
        if (!p.neverSaid.isEmpty())
            EXPECT_FALSE(r.err.contains(p.neverSaid)) << r.err.toStdString();
        if (p.code == 2) {
            EXPECT_TRUE(QDir(out).isEmpty());
            EXPECT_FALSE(QFileInfo::exists(report));
            continue;
        }
        const SourceFacts facts = readSource(report);
        if (!facts.read) {
            ADD_FAILURE() << "no report at " << report.toStdString();
            continue;
        }
        EXPECT_EQ(facts.format, p.format);
        EXPECT_EQ(facts.unreadable, p.unreadable);
        const bool sector0 = !p.unreadable.empty() && p.unreadable.front().part == QLatin1String("sector 0");
        // An unknown partition start is never given as a number, and nothing is read by a guessed one.
        if (sector0) {
            EXPECT_EQ(facts.partitionStart, QStringLiteral("unknown"));
            EXPECT_TRUE(QDir(out).isEmpty());
        }
        int written = 0;
        for (QDirIterator it(out, QDir::Files, QDirIterator::Subdirectories); it.hasNext(); it.next())
            ++written;
        EXPECT_EQ(facts.files, written);
        if (p.listsAsRaw) {
            const auto list = runCli({"list", p.source, "--channel", "all"});
            EXPECT_EQ(list.code, 0) << list.err.toStdString();
            EXPECT_EQ(list.out, raw.out);
        }
    }
}

// Two recordings with one name (the same channel and stamps, other clusters):
// korvath-cli keeps both, tells them apart by the first cluster and says so;
// the list, the export and the overview page name the same recordings.
TEST(SameName, BothAreKeptListedExportedAndShown)
{
    QTemporaryDir tmp;
    ImageBuilder b(kSectors);
    b.recorderSignature();
    // Records 5, 20, 30: the later of the two named alike is not the last listed before it.
    b.recording(0, at(8, 0), at(8, 10), {5, 6}, 0x11);
    b.recording(0, at(9, 0), at(9, 1), {20}, 0x33);
    b.recording(0, at(8, 0), at(8, 10), {30}, 0x22);
    const QString image = tmp.filePath("disk.img");
    ASSERT_TRUE(b.write(image));
    const QString name = recordingFileName(at(8, 0), at(8, 10), 0);
    const QString earlier = QString(name).replace(".h264", "_cluster5.h264");
    const QMap<QString, std::vector<uint32_t>> want{
        {name, {30}}, {earlier, {5, 6}}, {recordingFileName(at(9, 0), at(9, 1), 0), {20}}};

    const auto list = runCli({"list", image, "--json"});
    EXPECT_EQ(list.code, 0) << list.err.toStdString();
    QStringList listed;
    for (const QJsonValue &v : QJsonDocument::fromJson(list.out.toUtf8()).array()) {
        const QJsonObject o = v.toObject();
        listed << o["name"].toString();
        std::vector<uint32_t> clusters;
        for (const QJsonValue &c : o["clusters"].toArray())
            clusters.push_back(uint32_t(c.toInt()));
        EXPECT_EQ(clusters, want.value(o["name"].toString())) << o["name"].toString().toStdString();
    }
    EXPECT_EQ(listed, want.keys());
    EXPECT_TRUE(list.err.contains(name) && list.err.contains("cluster 5") && list.err.contains(earlier))
        << list.err.toStdString();

    const QString out = tmp.filePath("out");
    QDir().mkpath(out);
    const auto exported = runCli({"export", image, "--out", out});
    EXPECT_EQ(exported.code, 0) << exported.err.toStdString();
    EXPECT_EQ(QDir(out + "/CAM1").entryList(QDir::Files, QDir::Name), want.keys());
    for (auto it = want.cbegin(); it != want.cend(); ++it)
        EXPECT_TRUE(fileBytes(out + "/CAM1/" + it.key()) == expectedBytes(b, image, it.value()))
            << it.key().toStdString();

    const QString page = tmp.filePath("page.html");
    const auto overview = runCli({"overview", image, "--out", page});
    EXPECT_EQ(overview.code, 0) << overview.err.toStdString();
    const QString html = QString::fromUtf8(fileBytes(page));
    for (const QString &n : want.keys())
        EXPECT_TRUE(html.contains(n)) << n.toStdString();
    EXPECT_TRUE(html.contains("1 recording shares the name of a later recording")) << html.toStdString();
}

} // namespace
