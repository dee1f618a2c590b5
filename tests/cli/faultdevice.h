// Shared by the tests of korvath-cli: the program run as a user runs it (on
// an image, or on one served by korvath-faultfs), what the image holds with
// chosen sectors zeroed, and what a run left in a folder.
#pragma once

#include "faultmount.h"
#include "imagebuilder.h"
#include "scan.h"
#include "testsupport.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <algorithm>
#include <cstring>
#include <gtest/gtest.h>
#include <ostream>

// Readable failure messages: text, not a list of QChar.
inline void PrintTo(const QString &text, std::ostream *os)
{
    *os << '"' << text.toStdString() << '"';
}

namespace korvath {
namespace testkit {

// Skips the test with the reason on one line when no failing drive can be had.
#define KORVATH_SKIP_WITHOUT_FAULT_DRIVE()                                                                 \
    do {                                                                                                   \
        const QString why_ = ::korvath::testkit::FaultMount::unavailableReason();                          \
        if (!why_.isEmpty())                                                                               \
            GTEST_SKIP() << "no failing drive through FUSE: " << why_.toStdString();                       \
    } while (0)

// Every path below `dir`, folders, links and hidden files included, relative to it.
inline QStringList tree(const QString &dir)
{
    QStringList out;
    QDirIterator it(dir, QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        out << QDir(dir).relativeFilePath(it.next());
    out.sort();
    return out;
}

// The temporary files below `dir`.
inline QStringList partFiles(const QString &dir)
{
    return tree(dir).filter(QRegularExpression(QStringLiteral("\\.part$")));
}

inline bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

// The bytes of `clusters` in the image, with the sectors of `zeroed` (absolute) as zeros.
inline QByteArray expectedBytes(const ImageBuilder &b, const QString &image, const std::vector<uint32_t> &clusters,
                                const std::vector<SectorRange> &zeroed = {})
{
    QByteArray bytes;
    for (const uint32_t c : clusters) {
        const uint64_t first = b.clusterFirstSector(c);
        QByteArray cluster = readFileBytes(image, first * kSectorSize, kClusterBytes);
        for (const SectorRange &r : zeroed)
            for (uint64_t s = std::max(r.first, first); s <= r.last && s < first + kClusterSectors; ++s)
                std::memset(cluster.data() + (s - first) * kSectorSize, 0, kSectorSize);
        bytes += cluster;
    }
    return bytes;
}

// Sectors of `zeroed` that fall in `clusters`.
inline uint64_t sectorsIn(const ImageBuilder &b, const std::vector<uint32_t> &clusters,
                          const std::vector<SectorRange> &zeroed)
{
    uint64_t n = 0;
    for (const uint32_t c : clusters) {
        const uint64_t first = b.clusterFirstSector(c), last = first + kClusterSectors - 1;
        for (const SectorRange &r : zeroed)
            if (r.first <= last && r.last >= first)
                n += std::min(r.last, last) - std::max(r.first, first) + 1;
    }
    return n;
}

// A damaged recording (clusters 5 to 7, 08:00) and a clean one (09:00) on
// channel 1, to be served through korvath-faultfs with the faults of a case.
class FaultDisk : public ::testing::Test
{
protected:
    static constexpr uint64_t kSectors = 80 * 4096;

    explicit FaultDisk(std::vector<uint32_t> clean) : kClean(std::move(clean)) {}
    void SetUp() override
    {
        KORVATH_SKIP_WITHOUT_FAULT_DRIVE();
        builder.recorderSignature();
        builder.recording(0, sampleTime(8, 0), sampleTime(8, 10), kDamaged);
        builder.recording(0, sampleTime(9, 0), sampleTime(9, 5), kClean, 0x77);
        addToDisk();
        ASSERT_TRUE(builder.write(image));
        names = QStringList{recordingFileName(sampleTime(8, 0), sampleTime(8, 10), 0),
                            recordingFileName(sampleTime(9, 0), sampleTime(9, 5), 0)};
    }
    virtual void addToDisk() {}

    // Absolute sectors of `cluster`, first and last counted from its start.
    SectorRange inCluster(uint32_t cluster, uint64_t first, uint64_t last) const
    {
        const uint64_t base = builder.clusterFirstSector(cluster);
        return {base + first, base + last};
    }
    QString dir(const QString &name) const
    {
        QDir().mkpath(tmp.filePath(name));
        return tmp.filePath(name);
    }

    const std::vector<uint32_t> kDamaged{5, 6, 7};
    const std::vector<uint32_t> kClean;
    QTemporaryDir tmp;
    QString image = tmp.filePath(QStringLiteral("disk.img"));
    ImageBuilder builder{kSectors};
    QStringList names; // of the damaged recording, then the clean one
};

// Three recordings, the second's last cluster past the end of the disk (a
// loss), the third on channel 2: the disk the case-report tests export.
class ThreeRecordingDisk : public ::testing::Test
{
protected:
    static constexpr uint64_t kSectors = 80 * 4096; // cluster 78 runs past the end

    void SetUp() override
    {
        ASSERT_TRUE(tmp.isValid());
        b.recorderSignature();
        b.recording(0, sampleTime(8, 0), sampleTime(8, 10), {10, 11, 12, 30}); // two runs on the source
        b.recording(0, sampleTime(9, 0), sampleTime(9, 5), {20, 78});          // its last cluster runs past the end
        b.recording(1, sampleTime(10, 0), sampleTime(10, 1), {40});
        ASSERT_TRUE(b.write(image));
    }
    QString dir(const QString &name)
    {
        QDir().mkpath(tmp.filePath(name));
        return tmp.filePath(name);
    }

    QTemporaryDir tmp;
    ImageBuilder b{kSectors};
    QString image = tmp.filePath("disk.img");
};

} // namespace testkit
} // namespace korvath
