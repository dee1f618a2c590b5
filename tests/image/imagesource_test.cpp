// Evidence images made in this run from a recorder image (ewfacquire, split),
// read back through ImageSource and compared with the raw image.
#include "drive.h"
#include "ewfimage.h"
#include "imagebuilder.h"
#include "imagesource.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <unistd.h>
#include <memory>
#include <set>

using namespace korvath;
using namespace korvath::testkit;

namespace {

// 128 MiB and a bit: the last chunk of the E01 images is a short one.
constexpr uint64_t kSectors = 64 * 4096 + 100;
constexpr uint32_t kChunkSectors = kEwfChunkSectors;

struct Images {
    QTemporaryDir dir;
    QString error;
    QString raw;
    ImageBuilder layout{kSectors};
    QString path(const QString &name) const { return dir.filePath(name); }
};
Images *g = nullptr;

// ewfacquire into dir/name/case with the given options.
bool acquire(const QString &name, const QStringList &options, QString *error)
{
    return ewfAcquire(g->raw, g->path(name + "/case"), options, error);
}

QByteArray md(const QString &path, QCryptographicHash::Algorithm a)
{
    QFile f(path);
    QCryptographicHash h(a);
    if (!f.open(QIODevice::ReadOnly) || !h.addData(&f))
        return {};
    return h.result().toHex();
}

// The middle of the recording in cluster 21, and its chunk.
uint64_t damagedSector()
{
    return g->layout.clusterFirstSector(21) + 1000;
}

// Sectors an acquisition could not read, as ewfacquire records them from a
// failing drive: an "error2" section (a count, 512 bytes of padding, a checksum,
// then first sector and count per range, and a checksum) before "done".
constexpr uint64_t kNotAcquiredCount = 5;
uint64_t notAcquiredSector()
{
    return g->layout.clusterFirstSector(6) + 300;
}

bool addAcquisitionError(const QString &segment, QString *error)
{
    QFile f(segment);
    if (!f.open(QIODevice::ReadWrite)) {
        *error = QStringLiteral("cannot open ") + segment;
        return false;
    }
    QByteArray d = f.readAll();
    for (int at = 13; at + 76 <= d.size();) {
        QByteArray done = d.mid(at, 76);
        if (QByteArray(done.constData()) == "done") {
            QByteArray body(520, '\0');
            putU32(body, 0, 1);
            putU32(body, 516, adler32(body.left(516)));
            QByteArray entry(8, '\0');
            putU32(entry, 0, uint32_t(notAcquiredSector()));
            putU32(entry, 4, uint32_t(kNotAcquiredCount));
            body += entry;
            body += QByteArray(4, '\0');
            putU32(body, body.size() - 4, adler32(entry));
            QByteArray section(76, '\0');
            section.replace(0, 6, "error2");
            const uint64_t doneAt = uint64_t(at) + 76 + uint64_t(body.size());
            for (int i = 0; i < 8; ++i) {
                section[16 + i] = char(doneAt >> (8 * i));
                section[24 + i] = char((76 + uint64_t(body.size())) >> (8 * i));
                done[16 + i] = char(doneAt >> (8 * i)); // "done" points at itself
            }
            putU32(section, 72, adler32(section.left(72)));
            putU32(done, 72, adler32(done.left(72)));
            d.truncate(at);
            d += section + body + done;
            return f.seek(0) && f.write(d) == d.size() && f.resize(d.size());
        }
        uint64_t next = 0;
        for (int i = 7; i >= 0; --i)
            next = next << 8 | uint8_t(d[at + 16 + i]);
        if (next <= uint64_t(at))
            break;
        at = int(next);
    }
    *error = QStringLiteral("no done section in ") + segment;
    return false;
}

// An AFF file of the raw image, written here as afflib stores one: a signature,
// then segments (head "AFF\0", name and data lengths and an argument, big-endian;
// name; data; tail "ATT\0" and the segment's length): the page size, the image
// size as two 32-bit halves, and the pages, uncompressed.
bool writeAff(const QString &raw, const QString &aff, QString *error)
{
    QFile in(raw), out(aff);
    if (!in.open(QIODevice::ReadOnly) || !out.open(QIODevice::WriteOnly)) {
        *error = QStringLiteral("cannot write ") + aff;
        return false;
    }
    auto be = [](uint32_t v) {
        const char b[4] = {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
        return QByteArray(b, 4);
    };
    auto segment = [&](const QByteArray &name, uint32_t arg, const QByteArray &data) {
        const QByteArray body = QByteArray("AFF\0", 4) + be(uint32_t(name.size())) + be(uint32_t(data.size()))
                                + be(arg) + name + data;
        return out.write(body + QByteArray("ATT\0", 4) + be(uint32_t(body.size() + 8))) == body.size() + 8;
    };
    constexpr uint32_t kPage = 16 << 20;
    const uint64_t size = uint64_t(in.size());
    bool ok = out.write("AFF10\r\n\0", 8) == 8 && segment("pagesize", kPage, {})
              && segment("imagesize", 2, be(uint32_t(size)) + be(uint32_t(size >> 32)));
    for (uint32_t page = 0; ok && !in.atEnd(); ++page)
        ok = segment("page" + QByteArray::number(page), 0, in.read(kPage));
    if (!ok)
        *error = QStringLiteral("cannot write ") + aff;
    return ok;
}

bool makeImages(QString *error)
{
    g->layout.recorderSignature()
        .recording(0, 1000, 2000, {5, 6, 7})
        .recording(1, 3000, 4000, {20, 21})
        .recording(0, 5000, 6000, {60});
    g->raw = g->path(QStringLiteral("disk.img"));
    if (!g->layout.write(g->raw, error))
        return false;
    QFile f(g->raw);
    if (!f.open(QIODevice::ReadWrite) || !f.seek(qint64((kSectors - 1) * kSectorSize))
        || f.write(QByteArray(kSectorSize, 'Z')) != kSectorSize) {
        *error = QStringLiteral("last sector");
        return false;
    }
    f.close();
    const QString fast = QStringLiteral("deflate:fast");
    QDir().mkpath(g->path(QStringLiteral("split")));
    QDir().mkpath(g->path(QStringLiteral("aff")));
    return acquire(QStringLiteral("plain"), {"-c", "none", "-S", "1MiB", "-d", "sha1"}, error)
           && acquire(QStringLiteral("packed"), {"-c", fast}, error)
           && acquire(QStringLiteral("old"), {"-c", "none", "-f", "ewf", "-S", "40MiB"}, error)
           && acquire(QStringLiteral("badplain"), {"-c", "none"}, error)
           && acquire(QStringLiteral("badpacked"), {"-c", fast}, error)
           && corruptChunk(g->path(QStringLiteral("badplain/case.E01")), damagedSector(), error)
           && corruptChunk(g->path(QStringLiteral("badpacked/case.E01")), damagedSector(), error)
           && acquire(QStringLiteral("notacquired"), {"-c", fast}, error)
           && addAcquisitionError(g->path(QStringLiteral("notacquired/case.E01")), error)
           && writeAff(g->raw, g->path(QStringLiteral("aff/disk.aff")), error)
           && runTool(QStringLiteral("split"),
                  {"-b", "50M", "-d", "-a", "3", "--numeric-suffixes=1", g->raw,
                   g->path(QStringLiteral("split/disk."))},
                  error);
}

class ImageSourceTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        g = new Images;
        makeImages(&g->error);
    }
    static void TearDownTestSuite()
    {
        delete g;
        g = nullptr;
    }
    void SetUp() override { ASSERT_EQ(g->error, QString()); }

    static std::unique_ptr<ImageSource> open(const QString &relative)
    {
        QString error;
        auto s = ImageSource::open(g->path(relative), &error);
        EXPECT_TRUE(s) << error.toStdString();
        return s;
    }

    // A set of hard links to all files of `from` but `missing`, in a folder of its own.
    static QString without(const QString &from, const QString &missing)
    {
        const QString to = g->path(from + "-without-" + missing);
        QDir().mkpath(to);
        const QDir source(g->path(from));
        for (const QString &name : source.entryList(QDir::Files))
            if (name != missing)
                EXPECT_EQ(::link(QFile::encodeName(source.filePath(name)).constData(),
                                 QFile::encodeName(to + "/" + name).constData()),
                          0);
        return to;
    }
};

struct Kind {
    const char *path;
    ImageSource::Kind kind;
    int segments;
};

TEST_F(ImageSourceTest, EveryFormatReadsTheRawImagesBytes)
{
    const Kind kinds[] = {
        {"disk.img", ImageSource::Kind::Raw, 1},
        {"plain/case.E01", ImageSource::Kind::E01, 100}, // .E01 ... .E99, .EAA, ...
        {"packed/case.E01", ImageSource::Kind::E01, 1},
        {"old/case.e01", ImageSource::Kind::E01, 4},
        {"split/disk.001", ImageSource::Kind::SplitRaw, 3},
        {"aff/disk.aff", ImageSource::Kind::Aff, 1},
    };
    for (const Kind &k : kinds) {
        SCOPED_TRACE(k.path);
        const auto s = open(QString::fromLatin1(k.path));
        ASSERT_TRUE(s);
        EXPECT_EQ(s->kind(), k.kind);
        // Every file of the folder, in order (digits sort before letters).
        const QFileInfo first(g->path(QString::fromLatin1(k.path)));
        QStringList files;
        for (const QString &name : first.dir().entryList(QDir::Files, QDir::Name))
            files.append(first.dir().filePath(name));
        EXPECT_EQ(s->segments(), files);
        EXPECT_GE(s->segments().size(), k.segments);
        ASSERT_EQ(s->sectors(), kSectors);

        // All of it in cluster-sized reads, the last one cut by the end.
        QByteArray got(int(kClusterBytes), '\0');
        for (uint64_t at = 0; at < kSectors; at += kClusterSectors) {
            const uint64_t want = std::min<uint64_t>(kClusterSectors, kSectors - at);
            ASSERT_EQ(s->read(at, got.data(), kClusterSectors), want * kSectorSize) << "sector " << at;
            const QByteArray raw = readFileBytes(g->raw, at * kSectorSize, want * kSectorSize);
            ASSERT_TRUE(got.left(int(want * kSectorSize)) == raw) << "sectors from " << at;
        }
        // Small reads at the places the program looks.
        const uint64_t places[] = {0, g->layout.directorySector(), g->layout.clusterFirstSector(5),
                                   g->layout.clusterFirstSector(21) + 77, kSectors - 1};
        for (uint64_t sector : places) {
            QByteArray one(kSectorSize * 3, '\0');
            const uint32_t n = s->read(sector, one.data(), 3);
            const uint64_t want = std::min<uint64_t>(3, kSectors - sector) * kSectorSize;
            EXPECT_EQ(n, want) << "sector " << sector;
            EXPECT_TRUE(one.left(int(want)) == readFileBytes(g->raw, sector * kSectorSize, want))
                << "sector " << sector;
        }
        EXPECT_EQ(s->read(kSectors, got.data(), 1), 0u);
    }
}

TEST_F(ImageSourceTest, StoredHashesAreThoseOfTheRawImage)
{
    const QString md5 = QString::fromLatin1(md(g->raw, QCryptographicHash::Md5));
    const QString sha1 = QString::fromLatin1(md(g->raw, QCryptographicHash::Sha1));
    const struct {
        const char *path;
        std::vector<std::pair<QString, QString>> hashes;
    } cases[] = {
        {"plain/case.E01", {{"MD5", md5}, {"SHA-1", sha1}}},
        {"packed/case.E01", {{"MD5", md5}}},
        {"split/disk.001", {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        const auto s = open(QString::fromLatin1(c.path));
        ASSERT_TRUE(s);
        std::vector<std::pair<QString, QString>> got;
        for (const StoredHash &h : s->storedHashes())
            got.emplace_back(h.type, h.hex);
        EXPECT_EQ(got, c.hashes);
    }
}

TEST_F(ImageSourceTest, AnIncompleteSetNamesTheMissingFile)
{
    const struct {
        const char *set;
        const char *missing;  // left out of the copy
        const char *named;    // the file the error must name
        const char *open;
    } cases[] = {
        {"plain", "case.E02", "case.E02", "case.E01"},
        {"plain", "case.E99", "case.E99", "case.E01"},
        {"plain", "case.EAB", "case.EAB", "case.E01"},
        {"plain", "LAST", "LAST", "case.E01"}, // the one before does not end the set
        {"old", "case.e03", "case.e03", "case.e01"},
        {"old", "case.e04", "case.e04", "case.e01"},
        {"split", "disk.002", "disk.002", "disk.001"},
        {"plain", "case.E01", "case.E01", "case.E02"}, // not the first file
        {"split", "-", "disk.001", "disk.002"},
    };
    for (const auto &c : cases) {
        const QString last = QDir(g->path(QString::fromLatin1(c.set))).entryList(QDir::Files, QDir::Name).last();
        auto name = [&](const char *n) { return qstrcmp(n, "LAST") ? QString::fromLatin1(n) : last; };
        SCOPED_TRACE(std::string(c.set) + " without " + name(c.missing).toStdString());
        const QString dir = without(QString::fromLatin1(c.set), name(c.missing));
        QString error;
        EXPECT_FALSE(ImageSource::open(dir + "/" + c.open, &error));
        EXPECT_TRUE(error.contains(QLatin1Char('/') + name(c.named))) << error.toStdString();
    }
}

TEST_F(ImageSourceTest, DamagedOrNotAcquiredSectorsAreUnreadableAndNothingElse)
{
    const uint64_t chunk = damagedSector() / kChunkSectors * kChunkSectors;
    const struct {
        const char *path;
        uint32_t cluster;
        uint64_t first; // unreadable sectors
        uint64_t count;
    } cases[] = {
        {"badplain/case.E01", 21, chunk, kChunkSectors},
        {"badpacked/case.E01", 21, chunk, kChunkSectors},
        {"notacquired/case.E01", 6, notAcquiredSector(), kNotAcquiredCount},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        const auto s = open(QString::fromLatin1(c.path));
        ASSERT_TRUE(s);
        const uint64_t cluster = g->layout.clusterFirstSector(c.cluster);
        QByteArray got(int(kClusterBytes), '\0');
        // A whole read stops before the damage; the bytes before it are the image's.
        const uint32_t n = s->read(cluster, got.data(), kClusterSectors);
        EXPECT_EQ(n, (c.first - cluster) * kSectorSize);
        EXPECT_TRUE(got.left(int(n)) == readFileBytes(g->raw, cluster * kSectorSize, n));
        // Sector by sector, exactly those sectors fail.
        std::set<uint64_t> bad;
        for (uint64_t sector = cluster; sector < cluster + kClusterSectors; ++sector) {
            const uint32_t r = s->read(sector, got.data(), 1);
            if (r == kReadFailed)
                bad.insert(sector);
            else
                EXPECT_TRUE(r == kSectorSize
                            && got.left(int(kSectorSize)) == readFileBytes(g->raw, sector * kSectorSize, kSectorSize))
                    << "sector " << sector;
        }
        std::set<uint64_t> want;
        for (uint64_t sector = c.first; sector < c.first + c.count; ++sector)
            want.insert(sector);
        EXPECT_EQ(bad, want);
        // A read that starts on the last bad sector fails; one right after it reads.
        EXPECT_EQ(s->read(c.first + c.count - 1, got.data(), 8), kReadFailed);
        EXPECT_EQ(s->read(c.first + c.count, got.data(), 8), 8 * kSectorSize);
        // Elsewhere the image reads whole.
        EXPECT_EQ(s->read(g->layout.clusterFirstSector(60), got.data(), kClusterSectors), kClusterBytes);
    }
}

} // namespace
