// What is known of the source a case reads.
#pragma once

#include "layout.h"
#include "sectorread.h"

#include <QString>
#include <QStringList>
#include <cstdint>
#include <vector>

namespace korvath {

struct StoredImageHash {
    QString type;  // "md5", "sha1", as the image container keeps them
    QString value; // hex
};

// One description of a source: what was opened, what the system and an
// image say of it, and what its first sectors and directory showed. The
// list, the report, the page and the windows all show this one.
struct SourceDescription {
    QString givenPath;  // as typed or chosen
    QString devicePath; // what was opened
    bool blockDevice = false;
    QString vendor, model, serial; // as the system reports them; empty when unknown
    QString backingFile;           // of a loop device
    uint64_t sizeBytes = 0;
    uint64_t sectors = 0;
    QString imageFormat;            // as detected: "raw image", "E01", "split raw", "AFF", "block device", "drive"
    QStringList segments;           // the files of an image set
    bool recorderSignature = false; // in sector 0
    bool sector0Read = true;        // false: signature and partition start unknown, the directory not read
    uint32_t partitionStart = 0;
    VolumeInfo layout;
    std::vector<SectorRange> directoryUnreadable;
    QString directorySha256; // of the directory bytes as read
    std::vector<StoredImageHash> imageHashes;
    // An image read through the map it was made with: what the map did not
    // mark finished was read as unreadable.
    QString imageMap;
    QString imageMapSummary;

    // Model, serial and backing file in one line; empty when none is known.
    QString identityText() const;
};

} // namespace korvath
