#include "videomodule.h"

extern "C" Q_DECL_EXPORT void *korvath_video_module()
{
    static const korvath::VideoModule module{&korvath::remuxToMp4, &korvath::writePreview,
                                             &korvath::quietVideoLibraries, &korvath::remuxLibraries,
                                             &korvath::carveCandidates,     &korvath::carveClusters,
                                             &korvath::fragmentRecording};
    return const_cast<korvath::VideoModule *>(&module);
}
