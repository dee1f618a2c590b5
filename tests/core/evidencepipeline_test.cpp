// The evidence pieces put together as the export will use them: clusters of
// a real image read ahead on their own thread through readCluster, hashed and
// written by the caller, and the byte runs of the sectors that failed.
#include "dfxmlreport.h"
#include "export.h"
#include "imagebuilder.h"
#include "readahead.h"
#include "sha256.h"

#include <QCryptographicHash>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <set>

using namespace korvath;
using korvath::testkit::ImageBuilder;

namespace {

TEST(EvidencePipelineTest, ReadAheadCopyMatchesThePlainExportByteForByte)
{
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    ImageBuilder b(80 * 4096);
    b.recorderSignature();
    const std::vector<uint32_t> chain{10, 11, 12, 30, 31, 5};
    for (uint32_t c : chain)
        b.clusterContents(c);
    const QString image = tmp.filePath(QStringLiteral("disk.img"));
    ASSERT_TRUE(b.write(image));
    const DriveHandle drive = openDrive(image.toLocal8Bit().constData());
    ASSERT_TRUE(drive.isValid());
    const uint32_t dataOffset = b.layout().data_offset;

    // Sectors that fail: three inside cluster 11, the last of 30 and the first of 31.
    const std::set<uint64_t> bad{b.clusterFirstSector(11) + 5, b.clusterFirstSector(11) + 6,
                                 b.clusterFirstSector(11) + 7, b.clusterFirstSector(30) + 4095,
                                 b.clusterFirstSector(31)};
    const SectorReader plain = driveSectorReader(drive);
    const SectorReader failing = [&](uint64_t sector, void *buffer, uint32_t count) {
        for (uint64_t s = sector; s < sector + count; ++s)
            if (bad.count(s))
                return kReadFailed;
        return plain(sector, buffer, count);
    };
    const ClusterList clusters(chain.begin(), chain.end());

    IoBytes buffer;
    const QString plainOut = tmp.filePath(QStringLiteral("plain.264"));
    const RecordingExport reference = exportRecording(failing, dataOffset, clusters, plainOut, buffer);
    ASSERT_TRUE(reference.written()) << reference.error.toStdString();

    // Each cluster's failed sectors, written by the reader thread before its
    // slot is handed over, read by the consumer after.
    std::vector<std::vector<uint64_t>> failed(chain.size());
    ClusterReadAhead ring(chain.size(), [&](size_t k, uint8_t *out) {
        const SectorReader noted = noteUnreadableSectors(failing, &failed[k]);
        return ClusterRead{readCluster(noted, clusterSector(dataOffset, clusters[int(k)]), out), false};
    });
    QFile file(tmp.filePath(QStringLiteral("ahead.264")));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    Sha256 hash;
    std::vector<UnreadableSectors> unreadable;
    uint64_t lost = 0;
    while (const ClusterReadAhead::Slot *slot = ring.next()) {
        hash.update(slot->bytes, kClusterBytes);
        ASSERT_EQ(file.write(reinterpret_cast<const char *>(slot->bytes), kClusterBytes), qint64(kClusterBytes));
        lost += slot->unreadableSectors;
        const auto spans = unreadableInCluster(slot->index, clusterSector(dataOffset, clusters[int(slot->index)]),
                                               failed[slot->index]);
        unreadable.insert(unreadable.end(), spans.begin(), spans.end());
    }
    file.close();
    EXPECT_EQ(ring.state(), ClusterReadAhead::State::Complete);

    const QByteArray ahead = testkit::readFileBytes(file.fileName(), 0, uint64_t(chain.size()) * kClusterBytes);
    const QByteArray want = testkit::readFileBytes(plainOut, 0, uint64_t(chain.size()) * kClusterBytes);
    ASSERT_EQ(ahead.size(), int(chain.size() * kClusterBytes));
    EXPECT_TRUE(ahead == want);
    EXPECT_EQ(hash.hex(), QCryptographicHash::hash(want, QCryptographicHash::Sha256).toHex().toStdString());
    EXPECT_EQ(lost, reference.unreadableSectors);
    EXPECT_EQ(lost, bad.size());

    // The zero-filled runs name exactly the failed sectors, at their place.
    std::set<uint64_t> filled;
    for (const ByteRun &run : buildByteRuns(dataOffset, clusters, unreadable)) {
        if (!run.zeroFill)
            continue;
        for (uint64_t at = 0; at < run.length; at += kSectorSize) {
            filled.insert((run.imgOffset + at) / kSectorSize);
            EXPECT_TRUE(ahead.mid(int(run.fileOffset + at), int(kSectorSize)) == QByteArray(int(kSectorSize), '\0'));
        }
    }
    EXPECT_EQ(filled, bad);
}

} // namespace
