// The source disk cannot be written through the handle the program holds,
// and a chain that loops back on itself ends at its count.
#include "disklist.h"
#include "imagebuilder.h"
#include "lereader.h"
#include "scan.h"
#include "testsupport.h"

#include <QCryptographicHash>
#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace korvath;
using korvath::testkit::DriveMap;
using korvath::testkit::ImageBuilder;
using korvath::testkit::RecordFields;

namespace {

QByteArray sha256(const QString &path)
{
    QFile f(path);
    QCryptographicHash h(QCryptographicHash::Sha256);
    return f.open(QIODevice::ReadOnly) && h.addData(&f) ? h.result() : QByteArray();
}

// Every way of changing a file through a descriptor is refused on the one
// that discovery opened for the disk list.
TEST(ReadOnlySource, DiscoveredHandleRefusesEveryWrite)
{
    QTemporaryDir tmp;
    const QString image = tmp.filePath("disk.img");
    ImageBuilder b(100000);
    b.recorderSignature().recording(0, 0x40CA81C9u, 0x40CA8EFBu, {5, 6});
    ASSERT_TRUE(b.write(image));
    const QByteArray before = sha256(image);
    ASSERT_FALSE(before.isEmpty());

    DriveMap drives({{0, image}});
    const DiscoveredDrive d = probeDrive(0);
    ASSERT_TRUE(d.handle.isValid());
    ASSERT_TRUE(d.recorder);
    const int fd = d.handle.native;
    const char byte = 'x';

    errno = 0;
    EXPECT_EQ(::write(fd, &byte, 1), -1);
    EXPECT_EQ(errno, EBADF);
    errno = 0;
    EXPECT_EQ(::pwrite(fd, &byte, 1, 0), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_NE(::ftruncate(fd, 0), 0);
    EXPECT_NE(::fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 0, 4096), 0);
    void *map = ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    EXPECT_EQ(map, MAP_FAILED);
    if (map != MAP_FAILED)
        ::munmap(map, 4096);

    ::close(fd);
    EXPECT_EQ(sha256(image), before);
}

struct Cycle {
    const char *name;
    uint32_t first;
    std::vector<uint32_t> loop; // the records after the first; the last links back
    uint32_t backTo;            // where the last one links
};

void PrintTo(const Cycle &c, std::ostream *os)
{
    *os << c.name;
}

class CyclicChainTest : public ::testing::TestWithParam<Cycle>
{
};

// A count of 65,535 on a chain that loops: 65,536 clusters, repeating the loop,
// and no more (a loop of two records: ChainWalk.CycleBoundedByItsCount).
TEST_P(CyclicChainTest, EndsAtItsCount)
{
    const Cycle &c = GetParam();
    constexpr uint16_t kCount = 65535;
    constexpr uint32_t kChain = 0x5151;
    VolumeInfo info;
    info.dir_size = 64; // 1024 records
    info.rev_clu = 10;
    std::vector<uint8_t> dir(info.dir_size * kSectorSize, 0);
    auto put = [&](const RecordFields &f) {
        const QByteArray rec = ImageBuilder::encodeRecord(f);
        std::copy(rec.begin(), rec.end(), dir.begin() + f.index * kRecordSize);
    };
    std::vector<uint32_t> links = c.loop;
    RecordFields head{c.first, 2, kCount, links.empty() ? c.backTo : links.front(), 0x40CA81C9u, 0x40CA8EFBu, kChain, 0, 0};
    put(head);
    for (size_t k = 0; k < links.size(); ++k)
        put({links[k], 1, 0, k + 1 < links.size() ? links[k + 1] : c.backTo, 0, 0, kChain, 0, 0});

    const RecordingMap found = scanDirectory(dir.data(), dir.size(), info, {0, 0, 0xFFFFFFFFu});
    ASSERT_EQ(found.size(), 1);
    const ClusterList &walk = found.first().clusters;
    ASSERT_EQ(walk.size(), int(kCount) + 1);

    // The expected walk, link by link, from the records as written.
    std::vector<uint32_t> order = {c.first};
    order.insert(order.end(), links.begin(), links.end());
    std::vector<uint32_t> expected = order;
    const auto back = std::find(order.begin(), order.end(), c.backTo);
    ASSERT_NE(back, order.end());
    const std::vector<uint32_t> period(back, order.end());
    while (expected.size() < walk.size())
        expected.push_back(period[(expected.size() - order.size()) % period.size()]);
    for (int k = 0; k < walk.size(); ++k)
        ASSERT_EQ(walk[k], expected[size_t(k)]) << "cluster " << k;
}

INSTANTIATE_TEST_SUITE_P(Loops, CyclicChainTest,
                         ::testing::Values(Cycle{"onto_itself", 40, {}, 40},
                                           Cycle{"through_reserved", 40, {3, 700, 2}, 3},
                                           Cycle{"back_to_the_last_cluster", 900, {5, 1023}, 1023}),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
