#include "export.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cstring>

namespace korvath {

SectorReader driveSectorReader(DriveHandle handle)
{
    return [handle](uint64_t sector, void *buffer, uint32_t count) {
        seekSector(handle, sector, FILE_BEGIN_METHOD);
        return readSectors(handle, buffer, count);
    };
}

uint32_t readCluster(const SectorReader &reader, uint64_t firstSector, uint8_t *buffer)
{
    std::memset(buffer, 0, kClusterBytes);
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

RecordingExport exportRecording(const SectorReader &reader, uint32_t dataOffset, const ClusterList &clusters,
                                const QString &path, std::vector<uint8_t> &buffer,
                                const std::function<void(uint64_t bytesDone)> &onCluster)
{
    RecordingExport result;
    result.path = path;
    result.name = QFileInfo(path).fileName();
    buffer.resize(kClusterBytes);

    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        result.error = QStringLiteral("cannot be created: %1").arg(file.errorString());
        return result;
    }
    for (const uint32_t cluster : clusters) {
        const uint32_t bad = readCluster(reader, clusterSector(dataOffset, cluster), buffer.data());
        if (bad) {
            result.unreadableSectors += bad;
            result.unreadableClusters << QStringLiteral("cluster %1: %2 of %3 sectors unreadable")
                                             .arg(cluster)
                                             .arg(bad)
                                             .arg(kClusterSectors);
        }
        const qint64 wrote = file.write(reinterpret_cast<const char *>(buffer.data()), kClusterBytes);
        if (wrote != static_cast<qint64>(kClusterBytes)) {
            result.error = QStringLiteral("write failed: %1").arg(file.errorString());
            break;
        }
        result.bytesWritten += kClusterBytes;
        if (onCluster)
            onCluster(result.bytesWritten);
    }
    if (result.error.isEmpty() && !file.flush())
        result.error = QStringLiteral("flush failed: %1").arg(file.errorString());
    file.close();
    if (result.error.isEmpty() && file.error() != QFileDevice::NoError)
        result.error = QStringLiteral("close failed: %1").arg(file.errorString());
    if (!result.error.isEmpty()) {
        // A file shorter than its recording must not carry the recording's name.
        QFile::remove(path);
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
    QDir dir(folderPath);
    if (dir.exists())
        return {};
    if (!QDir().mkdir(folderPath) || !QDir(folderPath).exists())
        return QStringLiteral("the folder %1 could not be created").arg(QDir::toNativeSeparators(QDir::cleanPath(folderPath)));
    return {};
}

QString exportProblemsText(const std::vector<RecordingExport> &problems)
{
    QStringList lines;
    for (const RecordingExport &p : problems) {
        if (!p.written())
            lines << QStringLiteral("%1: not written, %2").arg(p.name, p.error);
        else if (p.unreadableSectors)
            lines << QStringLiteral("%1: written, but %2 unreadable sectors were left as zeros (%3)")
                         .arg(p.name)
                         .arg(p.unreadableSectors)
                         .arg(p.unreadableClusters.join(QStringLiteral("; ")));
    }
    return lines.join(QLatin1Char('\n'));
}

} // namespace korvath
