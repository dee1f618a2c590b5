#include "listing.h"

#include "probe.h"

#include <algorithm>

namespace korvath {

Listing scanListing(std::shared_ptr<const SectorSource> source, const VolumeInfo &info, const DirectoryRead &directory,
                    const ScanQuery &query)
{
    Listing listing;
    listing.source = std::move(source);
    listing.info = info;
    listing.query = query;
    listing.volumeStart = directory.volumeStart;
    listing.sector0Read = directory.sector0Read;
    listing.directorySector = directory.directorySector;
    listing.directorySectors = directory.sectorsWanted;
    listing.directoryUnreadable = directory.unreadable;
    listing.directoryAllocated = directory.allocated;
    if (directory.allocated)
        listing.recordings = scanDirectory(directory.bytes.data(), directory.bytes.size(), info, query,
                                           &listing.scan, &listing.displaced);
    if (directory.allocated && query.unlisted) {
        UnlistedScan u = findUnlisted(directory.bytes.data(), directory.bytes.size(), info);
        listing.unlisted = std::move(u.recordings);
        listing.claimed = std::move(u.claimed);
        listing.unlistedBounded = u.bounded;
    }
    return listing;
}

Listing listRecordings(std::shared_ptr<const SectorSource> source, const ScanQuery &query,
                       const std::function<void(const DirectoryRead &)> &onDirectory, DirectoryReadOptions read)
{
    const bool signature = checkRecorderSignature(*source);
    const VolumeInfo info = computeVolumeInfo(*source);
    if (!read.owner)
        read.owner = source;
    const DirectoryRead directory = readDirectory(*source, info, read);
    if (directory.stopped) {
        Listing stopped;
        stopped.source = std::move(source);
        stopped.info = info;
        stopped.query = query;
        stopped.signature = signature;
        stopped.stopped = true;
        return stopped;
    }
    if (onDirectory)
        onDirectory(directory);
    Listing listing = scanListing(std::move(source), info, directory, query);
    listing.signature = signature;
    return listing;
}

uint64_t Listing::directoryUnreadableOnSource() const
{
    const uint64_t end = info.totalSec;
    uint64_t n = 0;
    for (const SectorRange &r : directoryUnreadable)
        if (r.first < end)
            n += std::min<uint64_t>(r.count, end - r.first);
    return n;
}

QString displacedName(const Recording &recording)
{
    QString name = recording.name;
    const int dot = name.lastIndexOf(QLatin1Char('.'));
    return name.insert(dot < 0 ? name.size() : dot, QStringLiteral("_cluster%1").arg(recording.recordIndex));
}

void keepDisplaced(Listing &listing)
{
    for (Recording &r : listing.displaced) {
        r.name = displacedName(r);
        listing.recordings.insert(r.name, r);
    }
    listing.displaced.clear();
}

QList<const Recording *> orderedRecordings(const Listing &listing)
{
    QList<const Recording *> out;
    out.reserve(listing.recordings.size());
    for (const Recording &r : listing.recordings)
        out << &r;
    // Stable: names stay in order within a channel.
    std::stable_sort(out.begin(), out.end(),
                     [](const Recording *a, const Recording *b) { return a->channel < b->channel; });
    return out;
}

uint64_t recordingBytes(const Recording &r)
{
    return static_cast<uint64_t>(r.clusters.size()) * kClusterBytes;
}

} // namespace korvath
