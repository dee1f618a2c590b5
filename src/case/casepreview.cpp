#include "casepreview.h"

#include "iobuffer.h"
#include "sectorread.h"
#include "videomodule.h"

#include <cstring>

namespace korvath {

RecordingPreview previewRecording(const Listing &listing, const Recording &r, int frames, int maxTileWidth,
                                  const std::function<bool()> &stop, const QString &pngPath)
{
    RecordingPreview out;
    QString why;
    const VideoModule *video = videoModule(&why);
    if (!video) {
        out.result.error = QStringLiteral("the video module cannot be loaded: %1").arg(why);
        return out;
    }
    // A cluster with any unreadable sector is not used: a picture is never
    // decoded from the zeros that stand in for lost sectors.
    IoBytes cluster(kClusterBytes);
    const ClusterReader read = [&](uint32_t index, uint8_t *buffer) {
        if (index >= static_cast<uint32_t>(r.clusters.size()) || (stop && stop()))
            return false;
        if (readCluster(*listing.source, clusterSector(listing.info.data_offset, r.clusters[static_cast<int>(index)]),
                        cluster.data())
            != 0) {
            ++out.unreadableClusters;
            return false;
        }
        std::memcpy(buffer, cluster.data(), kClusterBytes);
        return true;
    };
    PreviewOptions p;
    p.clusterCount = static_cast<uint32_t>(r.clusters.size());
    p.start = r.startTime;
    p.end = r.endTime;
    p.frames = frames;
    p.maxTileWidth = maxTileWidth;
    p.recordingName = r.name;
    p.stop = stop;
    out.result = video->writePreview(read, p, pngPath);
    return out;
}

} // namespace korvath
