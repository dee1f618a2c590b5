// A look before the export: a recording's contact sheet decoded straight from
// the source, from the few clusters around each frame. A derived picture.
#pragma once

#include "listing.h"
#include "preview.h"

#include <QString>
#include <functional>

namespace korvath {

struct RecordingPreview {
    PreviewResult result;   // result.ok false: result.error says why (or the video module is missing)
    int unreadableClusters = 0; // clusters that did not read whole: never decoded from their zeros
};

// `stop` is asked before each cluster and frame; with a path the sheet is
// also written there as one output file. Loads the video module.
RecordingPreview previewRecording(const Listing &listing, const Recording &recording, int frames, int maxTileWidth,
                                  const std::function<bool()> &stop, const QString &pngPath = QString());

} // namespace korvath
