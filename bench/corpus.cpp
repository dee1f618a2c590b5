#include "corpus.h"

#include "imagebuilder.h"
#include "recordertime.h"

#include <QFile>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace bench {

using korvath::testkit::ImageBuilder;
using korvath::testkit::RecordFields;

namespace {

std::unique_ptr<Corpus> g_corpus;

const QDateTime kFirstStart(QDate(2024, 1, 1), QTime(0, 0));

void putRecord(std::vector<uint8_t> &dir, const RecordFields &r)
{
    const QByteArray bytes = ImageBuilder::encodeRecord(r);
    std::memcpy(dir.data() + static_cast<size_t>(r.index) * korvath::kRecordSize, bytes.constData(),
                korvath::kRecordSize);
}

// A recording of consecutive clusters, chained as the recorder writes them.
void putChain(std::vector<uint8_t> &dir, uint32_t first, uint32_t length, uint32_t channel,
              korvath::RecorderTime start, korvath::RecorderTime end, uint32_t chainId)
{
    for (uint32_t k = 0; k < length; ++k) {
        RecordFields r;
        r.index = first + k;
        r.flag = k == 0 ? 2 : 1;
        r.chainCount = k == 0 ? static_cast<uint16_t>(length - 1) : 0;
        r.nextCluster = k + 1 < length ? first + k + 1 : 0;
        r.startTime = start;
        r.endTime = end;
        r.chainId = chainId;
        r.channel = channel;
        putRecord(dir, r);
    }
}

bool writeBytesAt(const QString &path, uint64_t offset, const uint8_t *bytes, size_t size, QString *error)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = QStringLiteral("open %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pwrite(fd, bytes + done, size - done, static_cast<off_t>(offset + done));
        if (n <= 0) {
            *error = QStringLiteral("write %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
            ::close(fd);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    // Clean pages only can be evicted, which the cold figures need.
    const bool synced = ::fdatasync(fd) == 0;
    ::close(fd);
    if (!synced)
        *error = QStringLiteral("fdatasync %1").arg(path);
    return synced;
}

bool buildLarge(Corpus &c, QString *error)
{
    ImageBuilder image(kLargeSectors);
    image.recorderSignature();
    c.large = image.layout();
    c.largeImage = c.path("large.img");
    c.directory.assign(static_cast<size_t>(c.large.dir_size) * korvath::kSectorSize, 0);

    for (uint32_t k = 0; k < kScanRecordings; ++k) {
        const QDateTime start = kFirstStart.addSecs(600 * static_cast<qint64>(k));
        putChain(c.directory, c.large.rev_clu + k * kChainClusters, kChainClusters, 0,
                 korvath::toRecorderTime(start), korvath::toRecorderTime(start.addSecs(599)), 0x10000 + k);
    }
    c.query.channel = 0;
    c.query.start = korvath::toRecorderTime(kFirstStart);
    c.query.end = korvath::toRecorderTime(kFirstStart.addSecs(600 * static_cast<qint64>(kScanRecordings)));

    // The exported recording lives on another channel, so the scan never lists it.
    putChain(c.directory, kExportFirstCluster, kExportClusters, 1, c.query.start, c.query.end, 0xE0);
    for (uint32_t k = 0; k < kExportClusters; ++k) {
        c.exportClusters.append(kExportFirstCluster + k);
        image.clusterContents(kExportFirstCluster + k);
    }
    if (!image.write(c.largeImage, error))
        return false;
    c.directoryByte = image.directorySector() * korvath::kSectorSize;
    // Its sync covers the whole file, the clusters included.
    return writeBytesAt(c.largeImage, c.directoryByte, c.directory.data(), c.directory.size(), error);
}

bool buildList(Corpus &c, QString *error)
{
    ImageBuilder image(kListSectors);
    image.recorderSignature();
    const korvath::VolumeInfo info = image.layout();
    if (info.rev_clu + kListRecordings > static_cast<uint64_t>(info.dir_size) * korvath::kRecordsPerSector) {
        *error = QStringLiteral("the list image's directory is too small");
        return false;
    }
    for (uint32_t k = 0; k < kListRecordings; ++k) {
        const QDateTime start = kFirstStart.addSecs(60 * static_cast<qint64>(k));
        RecordFields r;
        r.index = info.rev_clu + k;
        r.startTime = korvath::toRecorderTime(start);
        r.endTime = korvath::toRecorderTime(start.addSecs(59));
        r.chainId = k;
        image.record(r);
    }
    c.listImage = c.path("list.img");
    c.listFrom = kFirstStart;
    c.listTo = kFirstStart.addSecs(60 * static_cast<qint64>(kListRecordings));
    return image.write(c.listImage, error);
}

} // namespace

uint64_t Corpus::exportByte() const
{
    return korvath::clusterSector(large.data_offset, kExportFirstCluster) * korvath::kSectorSize;
}

bool buildCorpus(const QString &base, QString *error)
{
    g_corpus.reset(new Corpus(base));
    if (!g_corpus->dir.isValid()) {
        *error = QStringLiteral("cannot make a temporary folder in %1").arg(base);
        return false;
    }
    return buildLarge(*g_corpus, error) && buildList(*g_corpus, error);
}

Corpus &corpus()
{
    return *g_corpus;
}

void releaseCorpus()
{
    g_corpus.reset();
}

uint64_t plainSum(const uint8_t *bytes, size_t size)
{
    // Whole 64-bit words, the fastest honest pass: a byte sum would flatter the scan.
    uint64_t sum = 0;
    size_t i = 0;
    for (; i + sizeof(uint64_t) <= size; i += sizeof(uint64_t)) {
        uint64_t word;
        std::memcpy(&word, bytes + i, sizeof word);
        sum += word;
    }
    for (; i < size; ++i)
        sum += bytes[i];
    return sum;
}

bool runProgram(const std::vector<std::string> &argv, bool quiet)
{
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (quiet) {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    }
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return false;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool dropFromCache(const QString &path, uint64_t offset, uint64_t length)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::posix_fadvise(fd, static_cast<off_t>(offset), static_cast<off_t>(length), POSIX_FADV_DONTNEED) == 0;
    ::close(fd);
    return ok;
}

bool loadIntoCache(const QString &path, uint64_t offset, uint64_t length)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    std::vector<uint8_t> buffer(korvath::kClusterBytes);
    uint64_t done = 0;
    while (done < length) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(buffer.size(), length - done));
        const ssize_t n = ::pread(fd, buffer.data(), want, static_cast<off_t>(offset + done));
        if (n <= 0)
            break;
        done += static_cast<uint64_t>(n);
    }
    ::close(fd);
    return done == length;
}

bool fileStartsWithCluster(const QString &path, uint64_t at, uint32_t cluster)
{
    return korvath::testkit::readFileBytes(path, at, korvath::kClusterBytes) == ImageBuilder::clusterPattern(cluster);
}

void fillHostileDirectory(std::vector<uint8_t> &dir, const korvath::VolumeInfo &info)
{
    const uint64_t records = uint64_t(info.dir_size) * korvath::kRecordsPerSector;
    dir.assign(records * korvath::kRecordSize, 0);
    const korvath::RecorderTime base = korvath::toRecorderTime(kFirstStart);
    for (uint64_t i = info.rev_clu; i < records; ++i) {
        RecordFields r;
        r.index = uint32_t(i);
        r.flag = 2;
        r.chainCount = 65535;
        r.nextCluster = uint32_t(i + 1 < records ? i + 1 : info.rev_clu); // round and round
        r.startTime = base + uint32_t(i % 2000000u);
        r.endTime = r.startTime + 1;
        r.chainId = 7;
        r.channel = 0;
        putRecord(dir, r);
    }
}

const std::vector<uint8_t> &hostileDirectory()
{
    static std::vector<uint8_t> dir;
    if (dir.empty())
        fillHostileDirectory(dir, corpus().large);
    return dir;
}

} // namespace bench
