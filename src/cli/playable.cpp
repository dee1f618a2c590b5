#include "playable.h"

#include "commands.h"
#include "outputfile.h"
#include "verify.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cstdio>
#include <unordered_map>

#include "videomodule.h"

namespace korvath {
namespace cli {

QString playablePath(const QString &outDir, const Recording &r)
{
    QString base = r.name;
    if (base.endsWith(QLatin1String(".h264"), Qt::CaseInsensitive))
        base.chop(5);
    return cameraFolderPath(outDir, r.channel) + QStringLiteral("/playable/") + base + QStringLiteral(".mp4");
}

QStringList existingPlayableTargets(const QString &outDir, const QList<ExportEntry> &entries)
{
    QStringList found;
    for (const ExportEntry &e : entries) {
        const QFileInfo info(playablePath(outDir, *e.recording));
        if (e.selected && (info.exists() || info.isSymLink()))
            found << info.filePath();
    }
    return found;
}

namespace {

// Absolute sectors on the source back to byte offsets in the copy, which
// holds the recording's clusters back to back.
std::vector<ByteRange> unreadableBytes(const RecordingExport &e, const Recording &r, uint32_t dataOffset)
{
    std::vector<ByteRange> bytes;
    if (e.unreadableRanges.empty())
        return bytes;
    std::unordered_map<uint32_t, uint32_t> indexOf;
    for (int i = 0; i < r.clusters.size(); ++i)
        indexOf.emplace(r.clusters[i], static_cast<uint32_t>(i));
    for (const SectorRange &range : e.unreadableRanges) {
        for (uint64_t s = range.first, end = range.first + range.count; s < end && s >= dataOffset;) {
            const uint32_t cluster = static_cast<uint32_t>((s - dataOffset) / kClusterSectors);
            const uint64_t clusterEnd = clusterSector(dataOffset, cluster) + kClusterSectors;
            const uint64_t runEnd = std::min(end, clusterEnd);
            const auto it = indexOf.find(cluster);
            if (it != indexOf.end()) {
                const uint64_t offset = uint64_t(it->second) * kClusterBytes + (s - clusterSector(dataOffset, cluster)) * kSectorSize;
                const uint64_t length = (runEnd - s) * kSectorSize;
                if (!bytes.empty() && bytes.back().offset + bytes.back().length == offset)
                    bytes.back().length += length;
                else
                    bytes.push_back({offset, length});
            }
            s = runEnd;
        }
    }
    return bytes;
}

QString shownPath(const Recording &r)
{
    return QStringLiteral("CAM%1/playable/%2").arg(r.channel + 1).arg(QFileInfo(playablePath(QString(), r)).fileName());
}

} // namespace

void addPlayableLibraries(CaseReport &report)
{
    for (const LibraryVersion &l : videoModule(nullptr)->libraries())
        report.libraries.push_back(l);
}

bool writePlayableCopy(const RecordingExport &e, const Recording &r, uint32_t dataOffset, const QString &outDir,
                       const QString &masterSha256, bool sha256, CaseReport *report)
{
    RemuxOptions o;
    o.start = r.startTime;
    o.end = r.endTime;
    o.masterName = r.name;
    o.masterSha256 = masterSha256;
    o.unreadable = unreadableBytes(e, r, dataOffset);
    o.sha256 = sha256 || report;
    o.progress = [](uint64_t, uint64_t) { return stopSignal() == 0; };
    const QString mp4 = playablePath(outDir, r);
    // The native copy read back for now; a failed open shows as its bytes unread.
    QFile master(e.path);
    master.open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    const RecordingBytes read = [&master](uint64_t offset, uint8_t *buffer, uint32_t size) {
        return master.seek(qint64(offset)) && master.read(reinterpret_cast<char *>(buffer), size) == qint64(size);
    };
    const RemuxResult m = videoModule(nullptr)->remuxToMp4(read, uint64_t(master.size()), mp4, o);
    const QString mp4Name = report ? report->fileName(mp4) : QString();
    if (!m.ok) {
        if (report)
            report->notWritten.push_back({mp4Name, QStringLiteral("no playable copy: %1").arg(m.error)});
        if (stopSignal())
            err(QStringLiteral("%1: no playable copy: stopped by %2").arg(r.name, signalName(stopSignal())));
        else
            err(m.error.contains(r.name) ? m.error : QStringLiteral("no playable copy of %1: %2").arg(r.name, m.error));
        return false;
    }
    QStringList losses;
    if (m.framesDamaged)
        losses << countText(uint64_t(m.framesDamaged), "frame", "frames") + QStringLiteral(" dropped for damage");
    if (m.framesBeforeKey)
        losses << countText(uint64_t(m.framesBeforeKey), "frame", "frames") + QStringLiteral(" before the first key frame left out");
    if (m.framesAfterEnd)
        losses << countText(uint64_t(m.framesAfterEnd), "frame", "frames") + QStringLiteral(" past the recording's end (an older recording's leftovers) left out");
    if (m.framesTooLarge)
        losses << countText(uint64_t(m.framesTooLarge), "frame", "frames")
                      + QStringLiteral(" claiming %1x%2 (more than any H.264 level allows) left out undecoded")
                            .arg(m.tooLargeWidth)
                            .arg(m.tooLargeHeight);
    if (m.framesUnchecked)
        losses << QStringLiteral("the last %1 kept without the check of the recording's end (more than it decodes)")
                      .arg(countText(uint64_t(m.framesUnchecked), "frame", "frames"));
    err(QStringLiteral("%1: %2 at %3 fps (%4), %5 s%6")
            .arg(shownPath(r), countText(uint64_t(m.framesWritten), "frame", "frames"))
            .arg(m.fps, 0, 'f', m.fps == int(m.fps) ? 0 : 3)
            .arg(m.fpsSource)
            .arg(m.durationSeconds, 0, 'f', 1)
            .arg(losses.isEmpty() ? QString() : QStringLiteral("; ") + losses.join(QStringLiteral(", "))));
    if (sha256 || report) {
        const QString hex = m.sha256;
        if (hex.isEmpty()) {
            err(QStringLiteral("%1: cannot be read back for its hash").arg(shownPath(r)));
            return false;
        }
        if (sha256) {
            out(QStringLiteral("%1  %2").arg(hex, shownPath(r)));
            flushOut();
        }
        if (report) {
            ReportFile f;
            f.filename = mp4Name;
            f.filesize = uint64_t(QFileInfo(mp4).size());
            f.sha256 = hex;
            f.channel = r.channel;
            f.start = r.startTime;
            f.end = r.endTime;
            f.recordIndex = r.recordIndex;
            DerivedFrom d;
            d.master = report->fileName(e.path);
            d.masterSha256 = masterSha256;
            d.method = QStringLiteral("remuxed to MP4, video units copied as they are (no re-encoding)");
            d.frameRate = m.fps;
            d.framesWritten = uint64_t(m.framesWritten);
            d.framesDropped = uint64_t(m.framesDamaged + m.framesBeforeKey + m.framesAfterEnd + m.framesTooLarge);
            f.derived = d;
            report->files.push_back(f);
        }
    }
    return true;
}

} // namespace cli
} // namespace korvath
