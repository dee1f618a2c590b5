// Reads of an evidence image against the raw image it was made from, same run:
// the directory of the largest class (88.5 MiB, one read) and 512 MiB of
// clusters (256 reads of 2 MiB), from the raw file through the drive layer,
// through The Sleuth Kit, and from uncompressed E01 sets through libewf.
// Standalone: korvath_image_bench [folder for the images, default /tmp].
#include "drive.h"
#include "imagebuilder.h"
#include "imagesource.h"
#include "iobuffer.h"
#include "layout.h"

#include <QDir>
#include <algorithm>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <unistd.h>

using namespace korvath;
using korvath::testkit::ImageBuilder;

namespace {

// The drive whose directory is the largest class: 2,899,968 records.
constexpr uint64_t kLargeSectors = uint64_t(2899968) * kClusterSectors;
constexpr uint32_t kClusters = 256;

using Reader = std::function<uint32_t(uint64_t sector, void *buffer, uint32_t count)>;

// Drops the files' pages from the page cache, so the next read comes from the disk.
void evict(const QStringList &files)
{
    for (const QString &f : files) {
        const int fd = ::open(QFile::encodeName(f).constData(), O_RDONLY);
        if (fd < 0)
            continue;
        ::fdatasync(fd);
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
        ::close(fd);
    }
}

double seconds(const std::function<bool()> &work, bool *ok)
{
    const auto t0 = std::chrono::steady_clock::now();
    *ok = work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

struct Figures {
    double directory = 0;
    double clusters = 0;
};

Figures measure(const Reader &read, uint64_t dirSector, uint32_t dirSectors, uint64_t firstCluster, bool *ok)
{
    IoBytes dir(size_t(dirSectors) * kSectorSize);
    IoBytes cluster(kClusterBytes);
    Figures f;
    bool a = false, b = false;
    f.directory = seconds([&] { return read(dirSector, dir.data(), dirSectors) == dirSectors * kSectorSize; }, &a);
    f.clusters = seconds(
        [&] {
            for (uint32_t k = 0; k < kClusters; ++k)
                if (read(firstCluster + uint64_t(k) * kClusterSectors, cluster.data(), kClusterSectors)
                    != kClusterBytes)
                    return false;
            return true;
        },
        &b);
    *ok = a && b;
    return f;
}

} // namespace

int main(int argc, char **argv)
{
    QTemporaryDir dir(QString::fromLocal8Bit(argc > 1 ? argv[1] : "/tmp") + "/korvath-image-bench-XXXXXX");
    ImageBuilder image(kLargeSectors);
    image.recorderSignature();
    const VolumeInfo info = image.layout();
    const uint64_t dirSector = image.directorySector();
    // The recording starts at the first cluster after the directory.
    const uint32_t first =
        uint32_t((dirSector + info.dir_size - info.data_offset + kClusterSectors - 1) / kClusterSectors);
    std::vector<uint32_t> chain;
    for (uint32_t k = 0; k < kClusters; ++k)
        chain.push_back(first + k);
    image.recording(0, 1000, 2000, chain);
    const QString raw = dir.filePath("large.img");
    QString error;
    if (!image.write(raw, &error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    // Holes read faster than data: the whole directory region gets bytes, as on a used disk.
    {
        QFile f(raw);
        const QByteArray fill(int(kClusterBytes), char(0x5A));
        if (!f.open(QIODevice::ReadWrite) || !f.seek(qint64(dirSector * kSectorSize))) {
            std::fprintf(stderr, "cannot fill the directory of %s\n", qPrintable(raw));
            return 1;
        }
        for (uint64_t left = uint64_t(info.dir_size) * kSectorSize; left > 0;) {
            const qint64 n = qint64(std::min<uint64_t>(left, kClusterBytes));
            if (f.write(fill.constData(), n) != n)
                return 1;
            left -= uint64_t(n);
        }
    }
    const uint64_t firstSector = image.clusterFirstSector(first);
    const uint64_t usedBytes = (firstSector + uint64_t(kClusters) * kClusterSectors) * kSectorSize;

    // ewfacquire reads the whole size it is given: only the part in use.
    struct Set {
        const char *name;
        QStringList options;
    } sets[] = {{"one segment", {"-S", "1.9GiB"}}, {"64 MiB segments", {"-S", "64MiB"}}};
    std::vector<std::unique_ptr<ImageSource>> e01;
    for (const Set &s : sets) {
        const QString target = dir.filePath(QString::fromLatin1(s.name).replace(' ', '_'));
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        const auto t0 = std::chrono::steady_clock::now();
        p.start("ewfacquire", QStringList{"-u", "-q", "-c", "none", "-B", QString::number(usedBytes), "-t", target}
                                  + s.options + QStringList{raw});
        if (!p.waitForFinished(-1) || p.exitCode() != 0) {
            std::fprintf(stderr, "ewfacquire: %s\n", p.readAll().constData());
            return 1;
        }
        std::printf("made E01 (%s, uncompressed) of %.1f MiB in %.1f s\n", s.name, usedBytes / 1048576.0,
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
        e01.push_back(ImageSource::open(target + ".E01", &error));
        if (!e01.back()) {
            std::fprintf(stderr, "%s\n", qPrintable(error));
            return 1;
        }
    }
    auto tskRaw = ImageSource::open(raw, &error);
    const DriveHandle handle = openDrive(QFile::encodeName(raw).constData());
    if (!tskRaw || !handle.isValid()) {
        std::fprintf(stderr, "raw image: %s\n", qPrintable(error));
        return 1;
    }

    struct Row {
        const char *name;
        Reader read;
        QStringList files;
    } rows[] = {
        {"raw, drive layer (baseline)",
         [&](uint64_t s, void *b, uint32_t n) {
             return seekSector(handle, s, FILE_BEGIN_METHOD) == kSeekFailed ? kReadFailed : readSectors(handle, b, n);
         },
         {raw}},
        {"raw, The Sleuth Kit", [&](uint64_t s, void *b, uint32_t n) { return tskRaw->read(s, b, n); }, {raw}},
        {"E01 one segment, libewf", [&](uint64_t s, void *b, uint32_t n) { return e01[0]->read(s, b, n); },
         e01[0]->segments()},
        {"E01 64 MiB segments, libewf", [&](uint64_t s, void *b, uint32_t n) { return e01[1]->read(s, b, n); },
         e01[1]->segments()},
    };
    const double dirMiB = info.dir_size * double(kSectorSize) / 1048576.0;
    std::printf("directory %.1f MiB in one read; %u clusters = %u MiB in 2 MiB reads\n", dirMiB, kClusters,
                kClusters * 2);
    std::printf("%-30s %6s %12s %12s %12s %12s\n", "source", "cache", "dir s", "dir MiB/s", "clusters s",
                "clu MiB/s");
    Figures got[2][4];
    int ci = 0;
    for (const char *cache : {"cold", "warm"}) {
        int ri = 0;
        for (const Row &r : rows) {
            bool ok = false;
            Figures f;
            if (cache[0] == 'c') {
                evict(r.files);
                f = measure(r.read, dirSector, info.dir_size, firstSector, &ok);
            } else {
                // The best of three, after a read that fills the caches.
                measure(r.read, dirSector, info.dir_size, firstSector, &ok);
                f = {1e9, 1e9};
                for (int i = 0; i < 3; ++i) {
                    const Figures t = measure(r.read, dirSector, info.dir_size, firstSector, &ok);
                    f.directory = std::min(f.directory, t.directory);
                    f.clusters = std::min(f.clusters, t.clusters);
                }
            }
            std::printf("%-30s %6s %12.3f %12.0f %12.3f %12.0f%s\n", r.name, cache, f.directory, dirMiB / f.directory,
                        f.clusters, kClusters * 2 / f.clusters, ok ? "" : "  (READ FAILED)");
            got[ci][ri++] = f;
        }
        ++ci;
    }
    // Throughput of the E01 beside the raw image through the drive layer, same run.
    std::printf("\n%-44s %10s %10s %8s\n", "E01 one segment against raw (aim >= 0.70)", "directory", "clusters", "");
    const char *caches[] = {"cold", "warm"};
    for (int c = 0; c < 2; ++c) {
        const double dir = got[c][0].directory / got[c][2].directory;
        const double clu = got[c][0].clusters / got[c][2].clusters;
        std::printf("%-44s %10.2f %10.2f %8s\n", caches[c], dir, clu, dir >= 0.7 && clu >= 0.7 ? "met" : "MISSED");
    }
    return 0;
}
