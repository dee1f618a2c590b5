// The recorder's directory: 32-byte records, one per cluster, whose chains
// tie a recording's clusters together. The scan filters the records of one
// channel in a time range and walks each chain, over a buffer only.
#pragma once

#include "drive.h"
#include "iobuffer.h"
#include "layout.h"
#include "recordertime.h"

#include <QMap>
#include <QString>
#include <QVector>
#include <cstdint>
#include <vector>

namespace korvath {

struct DirectoryRecord {
    uint8_t flag = 0;
    uint16_t chainCount = 0;
    uint32_t nextCluster = 0;
    RecorderTime startTime = 0;
    RecorderTime endTime = 0;
    uint32_t chainId = 0;
    uint32_t channelWord = 0;

    uint32_t channel() const { return channelWord >> 26; }
    bool canStart() const { return flag == 2 || flag == 3; }
};

class LeReader;
DirectoryRecord readDirectoryRecord(const LeReader &directory, uint64_t index);

using ClusterList = QVector<uint32_t>;

struct ScanQuery {
    uint32_t channel = 0; // counted from 0
    RecorderTime start = 0;
    RecorderTime end = 0;
};

struct Recording {
    QString name;
    ClusterList clusters;
    RecorderTime startTime = 0;
    RecorderTime endTime = 0;
    uint32_t channel = 0;
    uint32_t recordIndex = 0;
};

// Recordings by file name, in the order of the file list.
using RecordingMap = QMap<QString, Recording>;

// A record is kept when its start or its end lies in the range, or when it
// spans the whole range; a range that ends before it starts matches nothing.
bool recordMatchesRange(RecorderTime recordStart, RecorderTime recordEnd, RecorderTime from, RecorderTime to);

// "<start>_<end>_CAM<channel+1>.h264"
QString recordingFileName(RecorderTime start, RecorderTime end, uint32_t channel);

// The first cluster and at most chainCount more, following links whose
// records share the first one's chainId. A link outside the directory
// (recordCount records) ends the walk and is not added.
ClusterList walkChain(const LeReader &directory, uint64_t recordCount, uint32_t firstIndex);
// The same, gathering in `scratch` (reused from walk to walk) to spare allocations.
ClusterList walkChain(const LeReader &directory, uint64_t recordCount, uint32_t firstIndex,
                      std::vector<uint32_t> &scratch);

// Filters records rev_clu .. dir_size*16-1 of the directory bytes.
RecordingMap scanDirectory(const uint8_t *directory, size_t size, const VolumeInfo &info, const ScanQuery &query);

struct DirectoryRead {
    IoBytes bytes; // dir_size * 512, zeros where nothing was read
    uint64_t startSector = 0;   // offset2
    uint32_t startSec = 0;      // volume start found in sector 0
    uint64_t bytesRead = 0;
    bool allocated = true;      // false when the buffer could not be had
};

// Places the directory (logging offset1, start_sec, offset2) and reads it in one request.
DirectoryRead readDirectory(DriveHandle handle, const VolumeInfo &info);

} // namespace korvath
