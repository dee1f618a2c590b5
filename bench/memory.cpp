// Peak memory: each job runs in a fresh child of this same program, which
// reports the high-water mark of its own resident set (VmHWM) and is
// compared with a child that only opens the image. ru_maxrss would not do:
// it keeps the mark of the parent's memory that the child left at exec.
#include "corpus.h"
#include "figures.h"
#include "memory.h"

#include "directory.h"
#include "export.h"
#include "scan.h"

#include <QFile>
#include "log.h"
#include <cerrno>
#include <cstdlib>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace bench {

namespace {

constexpr const char *kChildFlag = "--memory-child";

// VmHWM of this process, in KiB.
long ownPeakKiB()
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    return -1;
}

// Peak resident set of the child, in KiB; negative when it failed.
long childPeakKiB(const std::vector<std::string> &job)
{
    const QString report = corpus().path("memory.txt");
    QFile::remove(report);
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return -1;
    self[n] = '\0';
    std::vector<std::string> argv{self, kChildFlag, report.toStdString()};
    argv.insert(argv.end(), job.begin(), job.end());
    std::vector<char *> args;
    for (std::string &a : argv)
        args.push_back(&a[0]);
    args.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, self, nullptr, nullptr, args.data(), environ) != 0)
        return -1;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -1;
    QFile f(report);
    bool ok = false;
    const long peak = f.open(QIODevice::ReadOnly) ? f.readAll().trimmed().toLong(&ok) : -1;
    return ok ? peak : -1;
}

int reportPeak(const char *path, int status)
{
    QFile f(QFile::decodeName(path));
    if (status != 0 || !f.open(QIODevice::WriteOnly))
        return status ? status : 6;
    f.write(QByteArray::number(static_cast<qlonglong>(ownPeakKiB())));
    return 0;
}

korvath::DriveHandle openImage(const char *path, korvath::VolumeInfo *info)
{
    const korvath::DriveHandle handle = korvath::openDrive(path);
    if (handle.isValid())
        *info = korvath::computeVolumeInfo(korvath::DriveSource(handle));
    return handle;
}

} // namespace

bool isMemoryChild(int argc, char **argv)
{
    return argc >= 2 && std::string(argv[1]) == kChildFlag;
}

namespace {

// argv (after REPORT): idle IMAGE | scan IMAGE START END | export IMAGE OUT CLUSTERS
int runJob(int argc, char **argv)
{
    korvath::setDebugLogEnabled(false);
    if (argc < 4)
        return 2;
    const std::string job = argv[2];
    korvath::VolumeInfo info;
    const korvath::DriveHandle handle = openImage(argv[3], &info);
    if (!handle.isValid())
        return 3;
    if (job == "idle")
        return 0;
    if (job == "hostile") {
        std::vector<uint8_t> dir;
        fillHostileDirectory(dir, info);
        korvath::ScanQuery all;
        all.end = 0xFFFFFFFFu;
        korvath::ScanStats stats;
        const korvath::RecordingMap found = korvath::scanDirectory(dir.data(), dir.size(), info, all, &stats);
        return stats.bounded && !found.isEmpty() ? 0 : 6;
    }
    if (job == "scan" && argc == 6) {
        const korvath::ScanQuery query{0, static_cast<korvath::RecorderTime>(std::strtoul(argv[4], nullptr, 10)),
                                       static_cast<korvath::RecorderTime>(std::strtoul(argv[5], nullptr, 10))};
        const korvath::DirectoryRead read = korvath::readDirectory(korvath::DriveSource(handle), info);
        const korvath::RecordingMap found = korvath::scanDirectory(read.bytes.data(), read.bytes.size(), info, query);
        return found.size() == static_cast<int>(kScanRecordings) ? 0 : 4;
    }
    if (job == "export" && argc == 6) {
        const uint32_t count = static_cast<uint32_t>(std::strtoul(argv[5], nullptr, 10));
        korvath::Recording recording;
        for (uint32_t k = 0; k < count; ++k)
            recording.clusters.append(kExportFirstCluster + k);
        korvath::SourceHealth health;
        const QString out = QFile::decodeName(argv[4]);
        const korvath::RecordingExport result =
            korvath::exportRecording(korvath::DriveSource(handle), info.data_offset, recording, out, health);
        QFile::remove(out);
        return result.written() && result.bytesWritten == uint64_t(count) * korvath::kClusterBytes ? 0 : 5;
    }
    return 2;
}

} // namespace

int runMemoryChild(int argc, char **argv)
{
    // Shift REPORT out, so that the job's arguments keep their places.
    std::vector<char *> job{argv[0], argv[1]};
    for (int i = 3; i < argc; ++i)
        job.push_back(argv[i]);
    return argc < 3 ? 2 : reportPeak(argv[2], runJob(static_cast<int>(job.size()), job.data()));
}

MemoryFigures measureMemory()
{
    const Corpus &c = corpus();
    const std::string image = c.largeImage.toStdString();
    const std::string out = c.path("memory.h264").toStdString();
    MemoryFigures m;
    const long idle = childPeakKiB({"idle", image});
    const long scan = childPeakKiB({"scan", image, std::to_string(c.query.start), std::to_string(c.query.end)});
    const long e16 = childPeakKiB({"export", image, out, "16"});
    const long e256 = childPeakKiB({"export", image, out, std::to_string(kExportClusters)});
    const long hostile = childPeakKiB({"hostile", image});
    if (idle < 0 || scan < 0 || e16 < 0 || e256 < 0 || hostile < 0) {
        m.error = "a memory child failed";
        return m;
    }
    const auto mib = [](long kib) { return static_cast<double>(kib) / 1024.0; };
    m.idleMiB = mib(idle);
    m.scanMiB = mib(scan - idle);
    m.export16MiB = mib(e16 - idle);
    m.export256MiB = mib(e256 - idle);
    m.hostileMiB = mib(hostile - idle) - double(c.large.dir_size) * korvath::kSectorSize / (1024.0 * 1024.0);
    return m;
}

} // namespace bench
