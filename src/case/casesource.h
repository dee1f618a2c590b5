// A source of a case: a drive or an evidence image, opened read-only, with
// the one description every face shows and the report keeps.
#pragma once

#include "listing.h"
#include "rescuemap.h"
#include "sourcedescription.h"
#include "source.h"

#include <QString>
#include <QStringList>
#include <memory>

namespace korvath {

struct CaseSource {
    std::shared_ptr<const SectorSource> source; // null when nothing could be opened
    SourceDescription description;
};

// A drive number as the disk list gives it, the path of a block device, or
// an evidence image (raw, split raw, E01, AFF: the first file of a set).
// Nothing opened: `error` says why. `notes` gets what the user should know
// of what was opened (a file named like an E01 read as raw).
CaseSource openCaseSource(const QString &given, QString *error, QStringList *notes = nullptr);

// Reads the source through the map it was imaged with: every area the map
// does not mark finished reads as unreadable. False, with `error`, when the
// map is not one of this source.
bool readThroughImageMap(CaseSource &source, const QString &mapPath, QString *error);

// The listing's findings added to the description: signature, partition
// start, layout, what of the directory could not be read, its hash.
void describeListing(SourceDescription &d, const Listing &listing, const QString &directorySha256);

// A listing of the source; with `hashDirectory`, the directory's SHA-256 as
// read, and with `directory`, the directory itself (kept for an image). With
// a progress in `read`, the directory's read reports, has a deadline and may
// be stopped (Listing::stopped).
struct CaseListing {
    Listing listing;
    QString directoryDigest; // SHA-256, hex
};
CaseListing listCase(const CaseSource &source, const ScanQuery &query, bool hashDirectory,
                     DirectoryRead *directory = nullptr, const DirectoryReadOptions &read = {});

} // namespace korvath
