#include "playable.h"

#include "counttext.h"
#include "outputfile.h"
#include "videomodule.h"

#include <QFileInfo>
#include <algorithm>
#include <cstring>

namespace korvath {

QString playablePath(const QString &folder, const Recording &r)
{
    QString base = r.name;
    if (base.endsWith(QLatin1String(".h264"), Qt::CaseInsensitive))
        base.chop(5);
    return cameraFolderPath(folder, r.channel) + QStringLiteral("/playable/") + base + QStringLiteral(".mp4");
}

void addPlayableLibraries(CaseReport &report)
{
    if (const VideoModule *video = videoModule(nullptr))
        for (const LibraryVersion &l : video->libraries())
            report.libraries.push_back(l);
}

namespace {

QString shownPath(const Recording &r)
{
    return QStringLiteral("CAM%1/playable/%2").arg(r.channel + 1).arg(QFileInfo(playablePath(QString(), r)).fileName());
}

// Every frame left out, and why.
QString lossesText(const RemuxResult &m)
{
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
    return losses.join(QStringLiteral(", "));
}

// The recording's bytes as exported, from the source through its loss map:
// what the export could not read is zeros here too, never read again.
RecordingBytes sourceBytes(const SectorSource &source, const LossMap &map)
{
    return [&source, &map](uint64_t offset, uint8_t *buffer, uint32_t size) {
        const uint64_t end = offset + size;
        auto run = std::upper_bound(map.begin(), map.end(), offset,
                                    [](uint64_t at, const ByteRun &r) { return at < r.fileOffset; });
        if (run == map.begin())
            return false;
        --run;
        std::vector<uint8_t> sectors;
        for (uint64_t at = offset; at < end; ++run) {
            if (run == map.end() || at < run->fileOffset || at >= run->fileOffset + run->length)
                return false;
            const uint64_t piece = std::min(end, run->fileOffset + run->length) - at;
            uint8_t *into = buffer + (at - offset);
            if (run->zeroFill) {
                std::memset(into, 0, piece);
            } else {
                const uint64_t from = run->imgOffset + (at - run->fileOffset);
                const uint64_t first = from / kSectorSize;
                const uint64_t last = (from + piece + kSectorSize - 1) / kSectorSize;
                const uint32_t count = static_cast<uint32_t>(last - first);
                sectors.resize(static_cast<size_t>(count) * kSectorSize);
                if (source.read(first, sectors.data(), count) != count * kSectorSize)
                    return false;
                std::memcpy(into, sectors.data() + (from - first * kSectorSize), piece);
            }
            at += piece;
        }
        return true;
    };
}

} // namespace

bool makePlayableCopy(const SectorSource &source, const RecordingExport &e, const Recording &r, const PlayableRequest &p,
                      const std::function<void(const JobEvent &)> &notify, CaseReport *report)
{
    const auto problem = [&](const QString &text) {
        JobEvent ev;
        ev.kind = JobEvent::Problem;
        ev.problem = JobProblem::NoPlayable;
        ev.name = r.name;
        ev.text = text;
        notify(ev);
    };
    const QString mp4 = playablePath(p.folder, r);
    const QString mp4Name = report ? report->fileName(mp4) : QString();
    QString why;
    const VideoModule *video = videoModule(&why);
    RemuxResult m;
    if (video) {
        RemuxOptions o;
        o.start = r.startTime;
        o.end = r.endTime;
        o.masterName = r.name;
        o.masterSha256 = p.masterSha256;
        // Damage is what the export could not read, never guessed from zeros.
        o.unreadable = lostBytes(e.lossMap);
        o.sha256 = p.hash;
        o.progress = [&](uint64_t, uint64_t) { return !(p.stop && p.stop()); };
        m = video->remuxToMp4(sourceBytes(source, e.lossMap), e.bytesWritten, mp4, o);
    } else {
        m.error = QStringLiteral("the video module cannot be loaded: %1").arg(why);
    }
    if (!m.ok) {
        if (report)
            report->notWritten.push_back({mp4Name, QStringLiteral("no playable copy: %1").arg(m.error)});
        if (p.stop && p.stop())
            problem(QStringLiteral("%1: no playable copy: stopped by %2").arg(r.name, p.stoppedBy ? p.stoppedBy() : QString()));
        else
            problem(m.error.contains(r.name) ? m.error : QStringLiteral("no playable copy of %1: %2").arg(r.name, m.error));
        return false;
    }
    const QString losses = lossesText(m);
    JobEvent made;
    made.kind = JobEvent::DerivedCopy;
    made.name = r.name;
    made.path = mp4;
    made.shown = shownPath(r);
    made.sha256 = m.sha256;
    made.text = QStringLiteral("%1: %2 at %3 fps (%4), %5 s%6")
                    .arg(shownPath(r), countText(uint64_t(m.framesWritten), "frame", "frames"))
                    .arg(m.fps, 0, 'f', m.fps == int(m.fps) ? 0 : 3)
                    .arg(m.fpsSource)
                    .arg(m.durationSeconds, 0, 'f', 1)
                    .arg(losses.isEmpty() ? QString() : QStringLiteral("; ") + losses);
    if (p.hash && m.sha256.isEmpty()) {
        notify(made);
        problem(QStringLiteral("%1: cannot be read back for its hash").arg(shownPath(r)));
        return false;
    }
    notify(made);
    if (report) {
        ReportFile f;
        f.filename = mp4Name;
        f.filesize = uint64_t(QFileInfo(mp4).size());
        f.sha256 = m.sha256;
        f.channel = r.channel;
        f.start = r.startTime;
        f.end = r.endTime;
        f.recordIndex = r.recordIndex;
        DerivedFrom d;
        d.master = report->fileName(e.path);
        d.masterHash = p.masterSha256;
        d.method = QStringLiteral("remuxed to MP4, video units copied as they are (no re-encoding)");
        d.frameRate = m.fps;
        d.framesWritten = uint64_t(m.framesWritten);
        d.framesDropped = uint64_t(m.framesDamaged + m.framesBeforeKey + m.framesAfterEnd + m.framesTooLarge);
        f.derived = d;
        report->files.push_back(f);
    }
    return true;
}

} // namespace korvath
