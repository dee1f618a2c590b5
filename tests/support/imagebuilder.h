// Writes sparse recorder disk images for the tests and the sample disk:
// sector 0, directory records and cluster contents at the positions the
// format gives, with the layout taken from the program's own library.
#pragma once

#include "layout.h"
#include "recordertime.h"

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <map>
#include <vector>

namespace korvath {
namespace testkit {

struct RecordFields {
    uint32_t index = 0;
    uint8_t flag = 2;
    uint16_t chainCount = 0;
    uint32_t nextCluster = 0;
    RecorderTime startTime = 0;
    RecorderTime endTime = 0;
    uint32_t chainId = 0;
    uint32_t channel = 0;        // counted from 0; goes to bits 26-31
    uint32_t channelLowBits = 0; // bits 0-25, which the program ignores
};

// One recording as a recorder plays it out (playRecorder).
struct PlannedRecording {
    uint32_t channel = 0;
    RecorderTime start = 0, end = 0;
    uint32_t clusters = 1;
    uint32_t chainId = 0;
};
struct PlayedRecording {
    PlannedRecording plan;
    std::vector<uint32_t> written; // every cluster it was given, in order
    std::vector<uint32_t> kept;    // those it still holds at the end, in order
};

class ImageBuilder
{
public:
    explicit ImageBuilder(uint64_t sectors);

    ImageBuilder &recorderSignature();                       // "WFS" ... "XM"
    ImageBuilder &masterBootRecord(uint32_t partitionStart); // 0x55AA, first entry's start
    ImageBuilder &sector0(const QByteArray &bytes);          // anything else
    ImageBuilder &record(const RecordFields &fields);
    // A recording of `clusters` (first one = its record index) chained with one
    // chainId; every cluster gets its identifying contents.
    // The same records without cluster contents.
    ImageBuilder &chain(uint32_t channel, RecorderTime start, RecorderTime end, const std::vector<uint32_t> &clusters,
                        uint32_t chainId = 0x1234);
    ImageBuilder &recording(uint32_t channel, RecorderTime start, RecorderTime end,
                            const std::vector<uint32_t> &clusters, uint32_t chainId = 0x1234);
    ImageBuilder &clusterContents(uint32_t cluster);         // identifying bytes
    // These bytes (at most 2 MiB) at the cluster's start instead, e.g. recorded video.
    ImageBuilder &clusterBytes(uint32_t cluster, const QByteArray &bytes);
    // A recorder filling clusters first .. first+count-1 in turn and, once
    // full, reusing the oldest: the recordings of one session are written at
    // once, a cluster of each in turn (channels interleaved). A reused
    // cluster's record is rewritten for its new recording; the clusters an
    // older one keeps keep its records (flag, links, stamps) and contents.
    std::vector<PlayedRecording> playRecorder(uint32_t first, uint32_t count,
                                              const std::vector<std::vector<PlannedRecording>> &sessions);
    // Records first .. first+count-1 read as zeros (a deletion, a damaged
    // directory); the clusters keep their bytes.
    ImageBuilder &zeroRecords(uint32_t first, uint32_t count);
    // Places the directory here instead of where the layout puts it.
    ImageBuilder &directoryAt(uint64_t sector);

    uint64_t sectors() const { return m_sectors; }
    VolumeInfo layout() const { return volumeInfoForSectors(m_sectors); }
    uint32_t partitionStart() const { return m_partitionStart; }
    uint64_t directorySector() const;
    uint64_t clusterFirstSector(uint32_t cluster) const { return clusterSector(layout().data_offset, cluster); }

    bool write(const QString &path, QString *error = nullptr) const;

    // The 2 MiB the image holds for cluster n when clusterContents(n) was asked for.
    static QByteArray clusterPattern(uint32_t cluster);
    static QByteArray encodeRecord(const RecordFields &fields);

private:
    uint64_t m_sectors;
    QByteArray m_sector0;
    uint32_t m_partitionStart = 0;
    bool m_customDirectory = false;
    uint64_t m_directorySector = 0;
    std::map<uint32_t, RecordFields> m_records;
    std::vector<uint32_t> m_clusters;
    std::map<uint32_t, QByteArray> m_clusterBytes;
};

// Reads `length` bytes at `offset` of a file, zeros past its end.
QByteArray readFileBytes(const QString &path, uint64_t offset, uint64_t length);

} // namespace testkit
} // namespace korvath
