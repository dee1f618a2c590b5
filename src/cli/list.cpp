#include "commands.h"

#include "clock.h"
#include "export.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cstdio>

namespace korvath {
namespace cli {

// What the listing could not see, on stderr; true when something was lost.
bool reportListingLosses(const Listing &listing)
{
    bool lost = false;
    if (!listing.sector0Read) {
        err(QStringLiteral("sector 0 could not be read: its partition table and recorder signature are unknown, so "
                           "the partition start and the directory's place cannot be told; nothing was listed"));
        return true;
    }
    if (!listing.signature)
        err(QStringLiteral("sector 0 carries no recorder signature: this may not be a recorder disk, "
                           "and the list may be empty or wrong"));
    if (!listing.directoryAllocated) {
        err(QStringLiteral("the directory of %1 could not be read: not enough memory")
                .arg(countText(listing.directorySectors, "sector", "sectors")));
        return true;
    }
    if (const uint64_t bad = listing.directoryUnreadableSectors()) {
        QStringList where;
        for (size_t i = 0; i < listing.directoryUnreadable.size() && i < 3; ++i) {
            const SectorRange &r = listing.directoryUnreadable[i];
            where << (r.count == 1 ? QStringLiteral("sector %1").arg(r.first)
                                   : QStringLiteral("sectors %1-%2").arg(r.first).arg(r.first + r.count - 1));
        }
        if (listing.directoryUnreadable.size() > 3)
            where << QStringLiteral("...");
        err(QStringLiteral("%1 of the directory's %2 could not be read (%3); recordings described there are "
                           "not listed")
                .arg(bad)
                .arg(countText(listing.directorySectors, "sector", "sectors"))
                .arg(where.join(QStringLiteral(", "))));
        lost = true;
    }
    if (listing.scan.bounded) {
        err(QStringLiteral("the directory links more clusters than the disk holds (damaged or crafted): listing "
                           "stopped at record %1 after %2; the list is incomplete")
                .arg(listing.scan.stoppedAtRecord)
                .arg(countText(listing.scan.clustersWalked, "cluster", "clusters")));
        lost = true;
    }
    return lost;
}

void keepSameNamed(Listing &listing)
{
    for (const Recording &r : listing.displaced)
        err(QStringLiteral("'%1' names two recordings (the same channel and stamps, other clusters): the one from "
                           "cluster %2 is listed as '%1', the one from cluster %3 as '%4'")
                .arg(r.name)
                .arg(listing.recordings.value(r.name).recordIndex)
                .arg(r.recordIndex)
                .arg(displacedName(r)));
    keepDisplaced(listing);
}

namespace {

void printList(const QList<const Recording *> &recordings, const Options &o)
{
    // A true time that cannot be told (an impossible stamp) shows as "-" or null.
    const auto trueText = [&](RecorderTime stamp) { return trueTimeText(stamp, o.clockOffset.value_or(0)); };
    if (!o.json) {
        for (const Recording *r : recordings) {
            QString line = QStringLiteral("%1\t%2\t%3").arg(r->name).arg(r->clusters.size()).arg(recordingBytes(*r));
            if (o.clockOffset) {
                const QString start = trueText(r->startTime), end = trueText(r->endTime);
                line += QStringLiteral("\t%1\t%2").arg(start.isEmpty() ? QStringLiteral("-") : start,
                                                       end.isEmpty() ? QStringLiteral("-") : end);
            }
            if (!r->timesKnown)
                line += QStringLiteral("\tunknown time");
            out(o.allChannels ? QStringLiteral("%1\t%2").arg(r->channel + 1).arg(line) : line);
        }
        return;
    }
    QJsonArray array;
    for (const Recording *r : recordings) {
        QJsonArray clusters;
        for (const uint32_t c : r->clusters)
            clusters.append(static_cast<qint64>(c));
        QJsonObject object{{QStringLiteral("name"), r->name},
                           {QStringLiteral("channel"), static_cast<qint64>(r->channel) + 1},
                           {QStringLiteral("start"), stampText(r->startTime)},
                           {QStringLiteral("end"), stampText(r->endTime)},
                           {QStringLiteral("clusters"), clusters},
                           {QStringLiteral("bytes"), static_cast<qint64>(recordingBytes(*r))}};
        if (r->origin == RecordingOrigin::Unlisted) {
            object.insert(QStringLiteral("unlisted"), true);
            object.insert(QStringLiteral("chain_id"), static_cast<qint64>(r->chainId));
            object.insert(QStringLiteral("times_known"), r->timesKnown);
            if (!r->timesKnown) {
                object.insert(QStringLiteral("start"), QJsonValue());
                object.insert(QStringLiteral("end"), QJsonValue());
            }
        }
        if (o.clockOffset) {
            const QString start = trueText(r->startTime), end = trueText(r->endTime);
            object.insert(QStringLiteral("true_start"), start.isEmpty() ? QJsonValue() : QJsonValue(start));
            object.insert(QStringLiteral("true_end"), end.isEmpty() ? QJsonValue() : QJsonValue(end));
            object.insert(QStringLiteral("clock_offset"), clockOffsetText(*o.clockOffset));
        }
        array.append(object);
    }
    outText(QJsonDocument(array).toJson(QJsonDocument::Indented));
}

} // namespace

int runList(const Listing &listing, const Options &o, bool lost)
{
    if (listing.empty() && listing.sector0Read)
        err(noMatchText(o));
    if (!listing.empty() || o.json)
        printList(orderedRecordings(listing), o);
    return lost ? ExitLoss : ExitDone;
}

} // namespace cli
} // namespace korvath
