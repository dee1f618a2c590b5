#include "export.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cstring>

namespace korvath {

SectorReader driveSectorReader(DriveHandle handle)
{
    return [handle](uint64_t sector, void *buffer, uint32_t count) {
        if (seekSector(handle, sector, FILE_BEGIN_METHOD) == kSeekFailed)
            return kReadFailed;
        return readSectors(handle, buffer, count);
    };
}

uint32_t readCluster(const SectorReader &reader, uint64_t firstSector, uint8_t *buffer)
{
    // A whole read overwrites every byte; a short one is redone below sector by
    // sector, each sector zeroed first, so no clearing is needed before it.
    if (reader(firstSector, buffer, kClusterSectors) == kClusterBytes)
        return 0;
    uint32_t unreadable = 0;
    for (uint32_t s = 0; s < kClusterSectors; ++s) {
        uint8_t *sector = buffer + static_cast<size_t>(s) * kSectorSize;
        std::memset(sector, 0, kSectorSize);
        if (reader(firstSector + s, sector, 1) != kSectorSize) {
            std::memset(sector, 0, kSectorSize); // nothing half-read survives
            ++unreadable;
        }
    }
    return unreadable;
}

namespace {

// A file shorter than its recording must not carry the recording's name.
QString removeIncomplete(const QString &path)
{
    if (!QFileInfo::exists(path) && !QFileInfo(path).isSymLink())
        return QStringLiteral("no file was left");
    return QFile::remove(path) ? QStringLiteral("the incomplete file was removed")
                               : QStringLiteral("the incomplete file could not be removed");
}

} // namespace

RecordingExport exportRecording(const SectorReader &reader, uint32_t dataOffset, const ClusterList &clusters,
                                const QString &path, IoBytes &buffer,
                                const std::function<void(uint64_t bytesDone)> &onCluster)
{
    RecordingExport result;
    result.path = path;
    result.name = QFileInfo(path).fileName();
    buffer.resize(kClusterBytes);

    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        result.error = QStringLiteral("the file could not be created (%1)").arg(file.errorString());
        return result;
    }
    int done = 0;
    for (const uint32_t cluster : clusters) {
        const uint32_t bad = readCluster(reader, clusterSector(dataOffset, cluster), buffer.data());
        result.totalSectors += kClusterSectors;
        if (bad) {
            result.unreadableSectors += bad;
            result.unreadableClusters.push_back({cluster, bad});
        }
        // A device that fills up first takes part of a write without an
        // error; writing the rest again makes the failing write say why.
        const char *bytes = reinterpret_cast<const char *>(buffer.data());
        qint64 wrote = 0;
        while (wrote < static_cast<qint64>(kClusterBytes)) {
            const qint64 n = file.write(bytes + wrote, static_cast<qint64>(kClusterBytes) - wrote);
            if (n <= 0)
                break;
            wrote += n;
        }
        if (wrote != static_cast<qint64>(kClusterBytes)) {
            result.error = done == 0 ? QStringLiteral("writing failed (%1)").arg(file.errorString())
                                     : QStringLiteral("writing failed after %1 of %2 clusters (%3)")
                                           .arg(done)
                                           .arg(clusters.size())
                                           .arg(file.errorString());
            break;
        }
        ++done;
        result.bytesWritten += kClusterBytes;
        if (onCluster)
            onCluster(result.bytesWritten);
    }
    if (result.error.isEmpty() && !file.flush())
        result.error = QStringLiteral("the file could not be completed (%1)").arg(file.errorString());
    file.close();
    if (result.error.isEmpty() && file.error() != QFileDevice::NoError)
        result.error = QStringLiteral("the file could not be closed (%1)").arg(file.errorString());
    if (!result.error.isEmpty()) {
        result.error += QStringLiteral("; ") + removeIncomplete(path);
        result.bytesWritten = 0;
    }
    return result;
}

QString cameraFolderPath(const QString &savePath, uint32_t channel)
{
    return savePath + QStringLiteral("//") + QStringLiteral("CAM%1").arg(static_cast<int32_t>(channel + 1u));
}

QString makeCameraFolder(const QString &folderPath)
{
    if (QDir(folderPath).exists())
        return {};
    if (QDir().mkdir(folderPath) && QDir(folderPath).exists())
        return {};
    const QFileInfo folder(QDir::cleanPath(folderPath));
    const QFileInfo parent(folder.path());
    const QString parentName = QDir::toNativeSeparators(parent.filePath());
    if (folder.exists())
        return QStringLiteral("a file of that name is in the way");
    if (!parent.exists())
        return QStringLiteral("the save folder %1 does not exist").arg(parentName);
    if (!parent.isDir())
        return QStringLiteral("%1 is a file, not a folder").arg(parentName);
    if (!parent.isWritable())
        return QStringLiteral("the save folder %1 is not writable").arg(parentName);
    return QStringLiteral("the system refused to make it in %1").arg(parentName);
}

namespace {

constexpr int kMaxLines = 20; // keeps the box on the screen

void appendSection(QStringList &out, const QString &heading, const QStringList &lines)
{
    if (lines.isEmpty())
        return;
    out << heading;
    for (int i = 0; i < lines.size() && i < kMaxLines; ++i)
        out << QStringLiteral("  ") + lines[i];
    if (lines.size() > kMaxLines)
        out << QStringLiteral("  ... and %1 more").arg(lines.size() - kMaxLines);
    out << QString();
}

QString sectorsText(uint64_t n)
{
    return n == 1 ? QStringLiteral("1 sector") : QStringLiteral("%1 sectors").arg(n);
}

QString clustersText(const std::vector<UnreadableCluster> &clusters)
{
    constexpr size_t kShown = 3;
    QStringList parts;
    for (size_t i = 0; i < clusters.size() && i < kShown; ++i) {
        const UnreadableCluster &c = clusters[i];
        parts << QStringLiteral("cluster %1: %2")
                     .arg(c.cluster)
                     .arg(c.sectors == kClusterSectors ? QStringLiteral("all %1 sectors").arg(kClusterSectors)
                                                       : sectorsText(c.sectors));
    }
    if (clusters.size() > kShown)
        parts << QStringLiteral("%1 more clusters").arg(clusters.size() - kShown);
    return parts.join(QStringLiteral("; "));
}

} // namespace

QString exportProblemsText(const ExportReport &report)
{
    QStringList out;
    if (!report.folderProblem.isEmpty()) {
        const QString folder = QDir::toNativeSeparators(QDir::cleanPath(report.folder));
        appendSection(out,
                      QStringLiteral("The folder %1 could not be created: %2. These recordings were not written:")
                          .arg(folder, report.folderProblem),
                      report.skippedForFolder);
        if (report.skippedForFolder.isEmpty())
            out << QStringLiteral("The folder %1 could not be created: %2.").arg(folder, report.folderProblem) << QString();
    }
    QStringList failed;
    QStringList zeros;
    for (const RecordingExport &r : report.recordings) {
        if (!r.written())
            failed << QStringLiteral("%1: %2.").arg(r.name, r.error);
        else if (r.unreadableSectors)
            zeros << QStringLiteral("%1: %2 of %3 sectors (%4).")
                         .arg(r.name)
                         .arg(r.unreadableSectors)
                         .arg(r.totalSectors)
                         .arg(clustersText(r.unreadableClusters));
    }
    appendSection(out, QStringLiteral("These recordings were not written:"), failed);
    appendSection(out,
                  QStringLiteral("These recordings were written, but some sectors could not be read from the disk "
                                 "and were left as zeros:"),
                  zeros);
    while (!out.isEmpty() && out.last().isEmpty())
        out.removeLast();
    return out.join(QLatin1Char('\n'));
}

} // namespace korvath
