// A raw image of the recorder's disk, the evidence first: sector 0 with the
// partition table, the directory, the chosen recordings' clusters, then the
// rest unless only the listed are wanted; with the map, the passes and the
// report of an export.
#pragma once

#include "acquire.h"
#include "casejob.h"
#include "directory.h"

namespace korvath {

struct ImageRequest {
    JobRequest job;          // source, listing, report fields, read timeout, map
    QString imagePath;
    bool listedOnly = false;
    DirectoryRead directory; // as the listing read it: written without a second read
};

struct ImageResult {
    ImageOutcome acquired;
    bool named = false;     // complete (or every listed sector settled) and under its name
    QString blocked;        // the temporary name is in the way: nothing was done
    QString namingError;    // the image could not be named
    bool reportLost = false;
    QString reportError;
    uint64_t sizeBytes = 0;
};

// The bytes the plan will copy, for a progress bar.
uint64_t imagePlanBytes(const ImageRequest &request);
// `stoppedBy` names what stopped it, for the report, when it was stopped.
ImageResult acquireCaseImage(ImageRequest &request, const ImageHooks &hooks, const std::function<bool()> &abandonRead,
                             const std::function<QString()> &stoppedBy);

} // namespace korvath
