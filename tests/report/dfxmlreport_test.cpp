// The case report: byte runs against a sector-by-sector oracle, and whole
// documents written, parsed back and compared with what went in.
#include "dfxmlreport.h"
#include "sha256.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <openssl/crypto.h>
#include <set>

QT_BEGIN_NAMESPACE
inline void PrintTo(const QString &s, std::ostream *os)
{
    *os << '"' << s.toStdString() << '"';
}
QT_END_NAMESPACE

using namespace korvath;

namespace {

constexpr uint32_t kData = 70000; // data_offset of the tests' volume

// ---- byte runs ----

struct SectorPlace {
    uint64_t img; // sector on the source
    bool fill;
    bool operator==(const SectorPlace &o) const { return img == o.img && fill == o.fill; }
};

// Every sector of the file, where it came from, straight from the cluster list.
std::vector<SectorPlace> expectedSectors(const ClusterList &clusters, const std::vector<UnreadableSectors> &bad)
{
    std::set<std::pair<size_t, uint32_t>> lost;
    for (const UnreadableSectors &u : bad)
        for (uint64_t s = u.firstSector; s < uint64_t(u.firstSector) + u.count && s < kClusterSectors; ++s)
            lost.insert({u.position, uint32_t(s)});
    std::vector<SectorPlace> out;
    for (int i = 0; i < clusters.size(); ++i)
        for (uint32_t s = 0; s < kClusterSectors; ++s)
            out.push_back({clusterSector(kData, clusters[i]) + s, lost.count({size_t(i), s}) > 0});
    return out;
}

std::vector<SectorPlace> sectorsOfRuns(const std::vector<ByteRun> &runs)
{
    std::vector<SectorPlace> out;
    for (const ByteRun &r : runs) {
        EXPECT_EQ(r.fileOffset, out.size() * kSectorSize) << "runs leave a gap or overlap";
        EXPECT_EQ(r.length % kSectorSize, 0u);
        EXPECT_GT(r.length, 0u);
        for (uint64_t b = 0; b < r.length; b += kSectorSize)
            out.push_back({(r.imgOffset + b) / kSectorSize, r.zeroFill});
    }
    return out;
}

struct RunCase {
    const char *name;
    std::vector<uint32_t> clusters;
    std::vector<UnreadableSectors> bad;
    size_t runs;      // after merging
    size_t fillRuns;
};

void PrintTo(const RunCase &c, std::ostream *os)
{
    *os << c.name;
}

class ByteRunTest : public ::testing::TestWithParam<RunCase>
{
};

TEST_P(ByteRunTest, RunsMapEverySectorToItsPlaceOnTheSource)
{
    const RunCase &c = GetParam();
    const ClusterList clusters = ClusterList(c.clusters.begin(), c.clusters.end());
    const std::vector<ByteRun> runs = buildByteRuns(kData, clusters, c.bad);
    const std::vector<SectorPlace> got = sectorsOfRuns(runs);
    const std::vector<SectorPlace> want = expectedSectors(clusters, c.bad);
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i)
        ASSERT_EQ(got[i], want[i]) << "file sector " << i;
    EXPECT_EQ(runs.size(), c.runs);
    EXPECT_EQ(size_t(std::count_if(runs.begin(), runs.end(), [](const ByteRun &r) { return r.zeroFill; })), c.fillRuns);
    // Merged as far as possible: no two neighbours could have been one run.
    for (size_t i = 1; i < runs.size(); ++i)
        EXPECT_FALSE(runs[i].zeroFill == runs[i - 1].zeroFill
                     && runs[i - 1].imgOffset + runs[i - 1].length == runs[i].imgOffset)
            << "runs " << i - 1 << " and " << i << " should be one";
}

INSTANTIATE_TEST_SUITE_P(
    Runs, ByteRunTest,
    ::testing::Values(
        RunCase{"none", {}, {}, 0, 0},
        RunCase{"one_cluster", {5}, {}, 1, 0},
        RunCase{"consecutive_merge", {5, 6, 7, 8}, {}, 1, 0},
        RunCase{"jumps_split", {5, 6, 9, 10, 3}, {}, 3, 0},
        RunCase{"backwards_neighbours_split", {8, 7}, {}, 2, 0},
        RunCase{"same_cluster_twice", {4, 4}, {}, 2, 0},
        RunCase{"bad_inside_a_merged_run", {5, 6, 7}, {{1, 100, 10}}, 3, 1},
        RunCase{"bad_first_and_last_sector", {5, 6}, {{0, 0, 1}, {1, 4095, 1}}, 3, 2},
        RunCase{"whole_cluster_bad", {5, 6, 7}, {{1, 0, 4096}}, 3, 1},
        RunCase{"bad_across_a_cluster_edge", {5, 6}, {{0, 4090, 6}, {1, 0, 5}}, 3, 1},
        RunCase{"bad_at_a_jump_stays_two_fills", {5, 9}, {{0, 4095, 1}, {1, 0, 1}}, 4, 2},
        RunCase{"unsorted_and_overlapping", {5, 6, 7}, {{2, 10, 5}, {0, 50, 20}, {0, 60, 20}, {2, 12, 1}}, 5, 2},
        RunCase{"clipped_past_the_cluster_and_the_list", {5, 6}, {{1, 4000, 500}, {2, 0, 10}, {0, 5000, 3}}, 2, 1}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(CommandLineTextTest, AShellSplitsTheLineBackIntoTheSameArguments)
{
    EXPECT_EQ(commandLineText({"korvath-cli", "export", "/dev/sdb", "--to=/cases/2024-01"}),
              QLatin1String("korvath-cli export /dev/sdb --to=/cases/2024-01"));
    const QStringList odd{"korvath-cli", "out dir", "", "it's", "$HOME", "a*b", "x\\y", "\"q\"", "`id`", "\u00e9t\u00e9", "a\nb"};
    QProcess sh;
    sh.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("printf '%s\\001' ") + commandLineText(odd)});
    ASSERT_TRUE(sh.waitForFinished(10000));
    QStringList back = QString::fromUtf8(sh.readAllStandardOutput()).split(QLatin1Char('\x01'));
    back.removeLast(); // after the last terminator
    EXPECT_EQ(back, odd);
}

// ---- the document ----

struct Node {
    QString ns, name, text;
    QXmlStreamAttributes attrs;
    std::vector<std::unique_ptr<Node>> children;

    QString attr(const char *n) const { return attrs.value(QLatin1String(n)).toString(); }
    std::vector<const Node *> all(const char *nsUri, const char *n) const
    {
        std::vector<const Node *> out;
        for (const auto &c : children)
            if (c->ns == QLatin1String(nsUri) && c->name == QLatin1String(n))
                out.push_back(c.get());
        return out;
    }
    const Node *one(const char *nsUri, const char *n) const
    {
        const auto found = all(nsUri, n);
        EXPECT_EQ(found.size(), 1u) << n;
        return found.empty() ? nullptr : found.front();
    }
    QString textOf(const char *nsUri, const char *n) const
    {
        const Node *c = one(nsUri, n);
        return c ? c->text : QString();
    }
    QStringList childNames() const
    {
        QStringList out;
        for (const auto &c : children)
            out << c->name;
        return out;
    }
};

std::unique_ptr<Node> parse(const QString &path, QString *problem)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        *problem = f.errorString();
        return nullptr;
    }
    QXmlStreamReader r(&f);
    std::unique_ptr<Node> root;
    std::vector<Node *> stack;
    while (!r.atEnd()) {
        r.readNext();
        if (r.isStartElement()) {
            auto n = std::make_unique<Node>();
            n->ns = r.namespaceUri().toString();
            n->name = r.name().toString();
            n->attrs = r.attributes();
            Node *raw = n.get();
            if (stack.empty())
                root = std::move(n);
            else
                stack.back()->children.push_back(std::move(n));
            stack.push_back(raw);
        } else if (r.isCharacters() && !stack.empty()) {
            stack.back()->text += r.text().toString();
        } else if (r.isEndElement()) {
            stack.back()->text = stack.back()->children.empty() ? stack.back()->text : QString();
            stack.pop_back();
        }
    }
    if (r.hasError()) {
        *problem = r.errorString();
        return nullptr;
    }
    return root;
}

const char *const D = kDfxmlNamespace;
const char *const K = kKorvathNamespace;

const QString kOddName = QStringLiteral("CAM1/a&b <c> \"d\" 'e' \u00e9\u65e5 ") + QString::fromUtf8("\xF0\x9F\x8E\xA5")
                         + QStringLiteral(" back\\slash");

CaseReport sampleReport()
{
    CaseReport r;
    r.commandLine = QStringLiteral("korvath-cli export /dev/sdb --channel 1 --to \"out dir\"");
    r.startTime = QDateTime(QDate(2026, 12, 8), QTime(6, 0, 1), Qt::UTC);
    r.endTime = QDateTime(QDate(2026, 12, 8), QTime(7, 30, 2), Qt::UTC);
    SourceDescription &s = r.source;
    s.givenPath = QStringLiteral("/dev/disk/by-id/ata-WDC_1");
    s.devicePath = QStringLiteral("/dev/sdb");
    s.blockDevice = true;
    s.model = QStringLiteral("WDC WD80PURZ");
    s.serial = QStringLiteral("WD-ABC123");
    s.sectors = 15628053168ull;
    s.sizeBytes = s.sectors * 512;
    s.recorderSignature = true;
    s.partitionStart = 63;
    s.layout = volumeInfoForSectors(s.sectors);
    s.directorySha256 = QString::fromStdString(Sha256::hexOf("directory", 9));
    s.imageHashes = {{QStringLiteral("MD5"), QStringLiteral("0123456789abcdef0123456789abcdef")},
                     {QStringLiteral("sha1"), QStringLiteral("0123456789abcdef0123456789abcdef01234567")}};

    ReportFile a;
    a.filename = kOddName;
    const ClusterList clusters{100, 101, 102, 500};
    a.byteRuns = buildByteRuns(s.layout.data_offset, clusters, {{1, 7, 3}});
    a.filesize = uint64_t(clusters.size()) * kClusterBytes;
    a.sha256 = QString::fromStdString(Sha256::hexOf("a", 1));
    a.channel = 0;
    a.start = packRecorderTime(2024, 3, 5, 12, 0, 0);
    a.end = packRecorderTime(2024, 3, 5, 12, 30, 59);
    a.recordIndex = 100;
    a.unreadableSectors = 3;
    r.files.push_back(a);

    ReportFile mp4;
    mp4.filename = QStringLiteral("CAM1/derived/a.mp4");
    mp4.filesize = 12345;
    mp4.sha256 = QString::fromStdString(Sha256::hexOf("mp4", 3));
    mp4.derived = DerivedFrom{kOddName, QStringLiteral("remuxed to MP4"), 25, 1500, 2};
    r.files.push_back(mp4);

    r.notWritten.push_back({QStringLiteral("CH02 x<y>.264"), QStringLiteral("writing failed (No space left on device)")});
    return r;
}

class DfxmlReportTest : public ::testing::Test
{
protected:
    QTemporaryDir dir;
    QString path() const { return dir.filePath(QStringLiteral("report.dfxml")); }
};

TEST_F(DfxmlReportTest, WritesTheModelAndReadsBackTheSame)
{
    ASSERT_TRUE(dir.isValid());
    const CaseReport r = sampleReport();
    QString error;
    ASSERT_TRUE(writeDfxmlReport(r, path(), &error)) << error.toStdString();
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("report.dfxml")});

    QString problem;
    const std::unique_ptr<Node> root = parse(path(), &problem);
    ASSERT_TRUE(root) << problem.toStdString();
    EXPECT_EQ(root->ns, QLatin1String(D));
    EXPECT_EQ(root->name, QLatin1String("dfxml"));
    EXPECT_EQ(root->attr("version"), QLatin1String("1.2.0"));
    // DFXML's order first, our own elements after.
    EXPECT_EQ(root->childNames(), (QStringList{"metadata", "creator", "source", "fileobject", "fileobject", "not_written"}));
    EXPECT_FALSE(root->one(D, "metadata")->textOf(kDublinCoreNamespace, "type").isEmpty());

    const Node *creator = root->one(D, "creator");
    EXPECT_EQ(creator->textOf(D, "program"), QLatin1String("korvath-cli"));
    EXPECT_EQ(creator->textOf(D, "version"), QLatin1String(KORVATH_VERSION));
    const Node *exec = creator->one(D, "execution_environment");
    EXPECT_EQ(exec->textOf(D, "command_line"), r.commandLine);
    EXPECT_EQ(QDateTime::fromString(exec->textOf(D, "start_time"), Qt::ISODate), r.startTime);
    EXPECT_EQ(exec->textOf(D, "start_time"), QLatin1String("2026-12-08T06:00:01Z"));
    EXPECT_EQ(QDateTime::fromString(exec->textOf(K, "end_time"), Qt::ISODate), r.endTime);
    std::map<QString, QString> loaded;
    for (const Node *lib : creator->all(D, "library"))
        loaded[lib->attr("name")] = lib->attr("version");
    EXPECT_EQ(loaded[QStringLiteral("Qt")], QLatin1String(qVersion()));
    EXPECT_EQ(loaded[QStringLiteral("OpenSSL")], QLatin1String(OpenSSL_version(OPENSSL_VERSION)));

    const Node *src = root->one(D, "source");
    EXPECT_EQ(src->textOf(D, "image_filename"), r.source.givenPath);
    EXPECT_EQ(src->textOf(K, "device_path"), r.source.devicePath);
    EXPECT_EQ(src->textOf(K, "model"), r.source.model);
    EXPECT_EQ(src->textOf(K, "serial"), r.source.serial);
    EXPECT_EQ(src->all(K, "vendor").size(), 0u); // unknown: left out
    EXPECT_EQ(src->textOf(K, "size_bytes").toULongLong(), r.source.sizeBytes);
    EXPECT_EQ(src->textOf(K, "sectors").toULongLong(), r.source.sectors);
    EXPECT_EQ(src->textOf(K, "recorder_signature"), QLatin1String("1"));
    EXPECT_EQ(src->textOf(K, "partition_start"), QLatin1String("63"));
    const Node *layout = src->one(K, "layout");
    EXPECT_EQ(layout->attr("dir_size").toUInt(), r.source.layout.dir_size);
    EXPECT_EQ(layout->attr("data_offset").toUInt(), r.source.layout.data_offset);
    EXPECT_EQ(layout->attr("rev_clu").toUInt(), r.source.layout.rev_clu);
    EXPECT_EQ(layout->attr("totalSec").toULongLong(), r.source.layout.totalSec);
    const Node *directory = src->one(K, "directory");
    EXPECT_EQ(directory->attr("img_offset").toULongLong(), directoryStartSector(r.source.layout, 63) * kSectorSize);
    EXPECT_EQ(directory->one(D, "hashdigest")->text, r.source.directorySha256);
    const auto stored = src->one(K, "stored_image_hashes")->all(D, "hashdigest");
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_EQ(stored[0]->attr("type"), QLatin1String("md5"));
    EXPECT_EQ(stored[1]->text, r.source.imageHashes[1].value);

    const auto files = root->all(D, "fileobject");
    ASSERT_EQ(files.size(), 2u);
    const Node *native = files[0];
    const ReportFile &a = r.files[0];
    EXPECT_EQ(native->childNames().mid(0, 4), (QStringList{"filename", "filesize", "byte_runs", "hashdigest"}));
    EXPECT_EQ(native->textOf(D, "filename"), kOddName);
    EXPECT_EQ(native->textOf(D, "filesize").toULongLong(), a.filesize);
    const Node *hash = native->one(D, "hashdigest");
    EXPECT_EQ(hash->attr("type"), QLatin1String("sha256"));
    EXPECT_EQ(hash->text, a.sha256);
    std::vector<ByteRun> runs;
    for (const Node *run : native->one(D, "byte_runs")->all(D, "byte_run")) {
        EXPECT_TRUE(run->attr("fill").isEmpty() || run->attr("fill") == QLatin1String("0"));
        runs.push_back({run->attr("file_offset").toULongLong(), run->attr("img_offset").toULongLong(),
                        run->attr("len").toULongLong(), run->attr("fill") == QLatin1String("0")});
    }
    EXPECT_EQ(runs, a.byteRuns);
    EXPECT_EQ(runs.size(), 4u); // 100-101 to sector 7, 3 zero-filled, the rest to 102, then 500
    EXPECT_EQ(native->textOf(K, "camera"), QLatin1String("1"));
    EXPECT_EQ(native->textOf(K, "recorder_start"), QLatin1String("2024-03-05 12:00:00"));
    EXPECT_EQ(native->one(K, "recorder_end")->attr("raw").toUInt(nullptr, 16), a.end);
    EXPECT_EQ(native->textOf(K, "record_index"), QLatin1String("100"));
    EXPECT_EQ(native->textOf(K, "unreadable_sectors"), QLatin1String("3"));
    EXPECT_EQ(native->all(K, "derived_from").size(), 0u);

    const Node *mp4 = files[1];
    EXPECT_EQ(mp4->all(D, "byte_runs").size(), 0u);
    EXPECT_EQ(mp4->all(K, "camera").size(), 0u);
    const Node *derived = mp4->one(K, "derived_from");
    ASSERT_TRUE(derived);
    EXPECT_EQ(derived->attr("master"), kOddName);
    EXPECT_EQ(derived->textOf(K, "frame_rate"), QLatin1String("25"));
    EXPECT_EQ(derived->textOf(K, "frames_written"), QLatin1String("1500"));
    EXPECT_EQ(derived->textOf(K, "frames_dropped"), QLatin1String("2"));

    const Node *skipped = root->one(K, "not_written");
    EXPECT_EQ(skipped->attr("name"), r.notWritten[0].name);
    EXPECT_EQ(skipped->text, r.notWritten[0].reason);
}

// Characters XML cannot hold are written as visible escapes; the rest stays as it is.
TEST_F(DfxmlReportTest, ControlCharactersBecomeVisibleEscapes)
{
    ASSERT_TRUE(dir.isValid());
    CaseReport r = sampleReport();
    r.source.model = QStringLiteral("ST\x01\x1f") + QChar(0xFFFE) + QChar(0xD800) + QStringLiteral("x\\y\tz");
    QString error;
    ASSERT_TRUE(writeDfxmlReport(r, path(), &error)) << error.toStdString();
    QString problem;
    const std::unique_ptr<Node> root = parse(path(), &problem);
    ASSERT_TRUE(root) << problem.toStdString();
    EXPECT_EQ(root->one(D, "source")->textOf(K, "model"), QStringLiteral("ST\\x01\\x1f\\ufffe\\ud800x\\y\tz"));
}

TEST_F(DfxmlReportTest, AFailedWriteLeavesNothing)
{
    ASSERT_TRUE(dir.isValid());
    QString error;
    EXPECT_FALSE(writeDfxmlReport(sampleReport(), dir.filePath(QStringLiteral("missing/report.dfxml")), &error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_TRUE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).isEmpty());

    // A folder in the way of the name: the write fails and leaves no temporary file.
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("report.dfxml")));
    error.clear();
    EXPECT_FALSE(writeDfxmlReport(sampleReport(), path(), &error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
              QStringList{QStringLiteral("report.dfxml")});
    EXPECT_TRUE(QFileInfo(path()).isDir());
}

// Everything the report holds comes back from the document, case details and
// the clock reading included, through the reader that verify uses.
TEST_F(DfxmlReportTest, ReadsBackWhatItWrote)
{
    ASSERT_TRUE(dir.isValid());
    CaseReport r = sampleReport();
    r.caseDetails = {QStringLiteral("2024/117"), QStringLiteral("JD/3 <seized>"), QStringLiteral("J. Doe & Co"),
                     {QStringLiteral("first note"), QStringLiteral("second\nline")}};
    r.clockObservation = ClockObservation{777000, 776808};
    r.clockOffset = r.clockObservation->offset();
    r.files[1].derived->masterHash = r.files[0].sha256;
    QString error;
    ASSERT_TRUE(writeDfxmlReport(r, path(), &error)) << error.toStdString();
    CaseReport b;
    ASSERT_TRUE(readDfxmlReport(path(), &b, &error)) << error.toStdString();

    EXPECT_EQ(b.caseDetails.caseNumber, r.caseDetails.caseNumber);
    EXPECT_EQ(b.caseDetails.exhibit, r.caseDetails.exhibit);
    EXPECT_EQ(b.caseDetails.examiner, r.caseDetails.examiner);
    EXPECT_EQ(b.caseDetails.notes, r.caseDetails.notes);
    EXPECT_EQ(b.clockOffset, std::optional<qint64>(192));
    EXPECT_EQ(b.clockObservation, r.clockObservation);
    EXPECT_EQ(b.program, r.program);
    EXPECT_EQ(b.version, r.version);
    EXPECT_EQ(b.commandLine, r.commandLine);
    EXPECT_EQ(b.startTime, r.startTime);
    EXPECT_EQ(b.endTime, r.endTime);
    ASSERT_EQ(b.libraries.size(), r.libraries.size());
    for (size_t i = 0; i < r.libraries.size(); ++i) {
        EXPECT_EQ(b.libraries[i].name, r.libraries[i].name);
        EXPECT_EQ(b.libraries[i].built, r.libraries[i].built);
        EXPECT_EQ(b.libraries[i].loaded, r.libraries[i].loaded);
    }
    const SourceDescription &s = b.source;
    EXPECT_EQ(s.givenPath, r.source.givenPath);
    EXPECT_EQ(s.devicePath, r.source.devicePath);
    EXPECT_EQ(s.blockDevice, r.source.blockDevice);
    EXPECT_EQ(s.model + s.serial, r.source.model + r.source.serial);
    EXPECT_EQ(s.sizeBytes, r.source.sizeBytes);
    EXPECT_EQ(s.sectors, r.source.sectors);
    EXPECT_EQ(s.partitionStart, r.source.partitionStart);
    EXPECT_EQ(s.layout.data_offset, r.source.layout.data_offset);
    EXPECT_EQ(s.layout.totalSec, r.source.layout.totalSec);
    EXPECT_EQ(s.directorySha256, r.source.directorySha256);
    ASSERT_EQ(s.imageHashes.size(), 2u);
    EXPECT_EQ(s.imageHashes[1].value, r.source.imageHashes[1].value);

    ASSERT_EQ(b.files.size(), 2u);
    const ReportFile &a = b.files[0];
    EXPECT_EQ(a.filename, kOddName);
    EXPECT_EQ(a.filesize, r.files[0].filesize);
    EXPECT_EQ(a.sha256, r.files[0].sha256);
    EXPECT_EQ(a.byteRuns, r.files[0].byteRuns);
    EXPECT_EQ(a.channel, r.files[0].channel);
    EXPECT_EQ(a.start, r.files[0].start);
    EXPECT_EQ(a.end, r.files[0].end);
    EXPECT_EQ(a.recordIndex, r.files[0].recordIndex);
    EXPECT_EQ(a.unreadableSectors, 3u);
    EXPECT_FALSE(a.derived);
    const ReportFile &mp4 = b.files[1];
    ASSERT_TRUE(mp4.derived);
    EXPECT_EQ(mp4.sha256, r.files[1].sha256);
    EXPECT_EQ(mp4.derived->master, kOddName);
    EXPECT_EQ(mp4.derived->masterHash, r.files[0].sha256);
    EXPECT_EQ(mp4.derived->framesWritten, 1500u);
    EXPECT_EQ(mp4.derived->framesDropped, 2u);
    ASSERT_EQ(b.notWritten.size(), 1u);
    EXPECT_EQ(b.notWritten[0].name, r.notWritten[0].name);
    EXPECT_EQ(b.notWritten[0].reason, r.notWritten[0].reason);
}

// A report that is not well formed, or lacks what a report holds, is refused,
// naming the line where it goes wrong.
TEST_F(DfxmlReportTest, AMalformedReportIsRefusedNamingItsLine)
{
    ASSERT_TRUE(dir.isValid());
    CaseReport r = sampleReport();
    r.clockObservation = ClockObservation{777000, 776808};
    QString error;
    ASSERT_TRUE(writeDfxmlReport(r, path(), &error));
    QFile written(path());
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    const QString xml = QString::fromUtf8(written.readAll());
    const QString mp4Hash = QStringLiteral("<hashdigest type=\"sha256\">%1</hashdigest>").arg(r.files[1].sha256);
    const QString truncated = xml.left(xml.indexOf(QStringLiteral("<filename>CAM1/derived")));
    const struct {
        const char *name;
        QString from, to;
        QString marker; // its line is the one named: the last before the change's end
        const char *says;
    } cases[] = {
        {"size not a number", "<filesize>12345<", "<filesize>12x45<", "<filesize>12x45<", "'12x45' is not a number"},
        {"run length not a number", "len=\"2097152\"", "len=\"0x200000\"", "len=\"0x200000\"", "is not a number"},
        {"no hash", mp4Hash, "", "<fileobject>", "has no SHA-256"},
        {"no name", "<filename>CAM1/derived/a.mp4</filename>", "", "<fileobject>", "without its filename"},
        {"tag not closed", "</filesize>", "</filesiz>", "</filesiz>", "tag mismatch"},
        {"bad observation", "<korvath:true_time>2000-01-09 23:46:48", "<korvath:true_time>2000-02-30 23:46:48",
         "<korvath:clock_observation>", "not a time"},
        {"not DFXML", QString::fromLatin1(kDfxmlNamespace), "urn:other", "<dfxml", "not a DFXML document"},
        {"content after the end", "</dfxml>\n", "</dfxml>\n<dfxml/>\n", "<dfxml/>", "Extra content"},
        {"cut off", xml, truncated, QString(), "Premature end"}, // the line where it ends
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(xml.contains(c.from));
        const int changeAt = xml.indexOf(c.from);
        const QString bad = QString(xml).replace(changeAt, c.from.size(), c.to);
        const QString file = dir.filePath(QStringLiteral("bad.xml"));
        QFile out(file);
        ASSERT_TRUE(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
        out.write(bad.toUtf8());
        out.close();
        // The marker nearest the change, up to its end.
        const int at = bad.lastIndexOf(c.marker, std::min(changeAt + c.to.size(), bad.size() - 1));
        ASSERT_GE(at, 0);
        const int line = bad.left(at).count(QLatin1Char('\n')) + 1;
        CaseReport read;
        QString why;
        EXPECT_FALSE(readDfxmlReport(file, &read, &why));
        EXPECT_TRUE(why.startsWith(QStringLiteral("line %1: ").arg(line))) << why.toStdString() << " (line " << line << ")";
        EXPECT_TRUE(why.contains(QLatin1String(c.says))) << why.toStdString();
    }
}

TEST(CaseHtmlPath, BesideTheReport)
{
    const std::pair<const char *, const char *> cases[] = {
        {"case.xml", "case.html"}, {"/a/b/Case.XML", "/a/b/Case.html"}, {"out/case.v2.xml", "out/case.v2.html"},
        {"report.dfxml", "report.dfxml.html"}, {"report", "report.html"}};
    for (const auto &c : cases)
        EXPECT_EQ(caseHtmlPath(QString::fromLatin1(c.first)), QString::fromLatin1(c.second));
}

} // namespace
