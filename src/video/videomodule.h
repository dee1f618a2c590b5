// What the programs call of the video layer. It is a module, loaded the first
// time an MP4 copy or a preview is asked for.
#pragma once

#include "carve.h"
#include "module.h"
#include "preview.h"
#include "remux.h"

namespace korvath {

struct VideoModule {
    RemuxResult (*remuxToMp4)(const RecordingBytes &read, uint64_t recordingSize, const QString &mp4Path,
                              const RemuxOptions &options);
    PreviewResult (*writePreview)(const ClusterReader &read, const PreviewOptions &options, const QString &pngPath);
    void (*quietVideoLibraries)();
    std::vector<LibraryVersion> (*libraries)(); // for the case report
    std::vector<uint32_t> (*carveCandidates)(const VolumeInfo &info, const std::vector<uint8_t> &claimed);
    CarveOutcome (*carveClusters)(const SectorSource &source, uint32_t dataOffset,
                                  const std::vector<uint32_t> &candidates, const CarveHooks &hooks);
    Recording (*fragmentRecording)(const Fragment &f);
};

// The module, loaded the first time; null, with the reason, in a build without it.
inline const VideoModule *videoModule(QString *error)
{
    const ModuleEntry entry = moduleEntry("korvath_video", "korvath_video_module", error);
    return entry ? static_cast<const VideoModule *>(entry()) : nullptr;
}

} // namespace korvath
