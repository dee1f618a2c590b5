// The Windows drive layer against real files, run under Windows or Wine. Built by
// scripts/wine-drive-test with the mingw cross compiler: no gtest, no Qt.
// Argument: the Windows path of the folder holding the images that script made:
//   big.img    (2^32 + 8) sectors, sparse; sector 0 and sector 2^32 hold markers
//   small.img  10 sectors; sectors 8 and 9 are all 'T'
//   odd.img    8 GiB - 1 bytes, sparse
// A marker is its text padded with '#' to one sector.
#include "drive.h"

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

using namespace korvath;

static_assert(FILE_BEGIN_METHOD == FILE_BEGIN && FILE_CURRENT_METHOD == FILE_CURRENT &&
                  FILE_END_METHOD == FILE_END,
              "the move methods are handed to SetFilePointer as they are");

namespace {

const char *imageFolder = "";
const char *currentCase = "";
bool caseFailed = false;

void fail(int line, const char *what, const char *got, const char *want)
{
    std::printf("FAILED %s (line %d): %s is %s, expected %s\n", currentCase, line, what, got, want);
    caseFailed = true;
}

// Decimal by hand: which printf length modifier a 64-bit value takes depends on mingw's stdio choice.
const char *decimal(int64_t value, char (&text)[24])
{
    uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    char *p = text + sizeof text;
    *--p = '\0';
    do {
        *--p = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0)
        *--p = '-';
    return p;
}

void failNumber(int line, const char *what, int64_t got, int64_t want)
{
    char g[24], w[24];
    fail(line, what, decimal(got, g), decimal(want, w));
}

#define CHECK_EQ(got, want)                                                                    \
    do {                                                                                       \
        const int64_t got_ = static_cast<int64_t>(got), want_ = static_cast<int64_t>(want);    \
        if (got_ != want_)                                                                     \
            failNumber(__LINE__, #got, got_, want_);                                           \
    } while (0)
#define CHECK(cond)                                                                            \
    do {                                                                                       \
        if (!(cond))                                                                           \
            fail(__LINE__, #cond, "false", "true");                                            \
    } while (0)
#define CHECK_STR(got, want)                                                                   \
    do {                                                                                       \
        if (std::strcmp(got, want) != 0)                                                       \
            fail(__LINE__, #got, got, want);                                                   \
    } while (0)

void imagePath(char (&path)[MAX_PATH], const char *name)
{
    std::snprintf(path, sizeof path, "%s\\%s", imageFolder, name);
}

// One of the script's images, opened through the drive layer.
struct Image {
    DriveHandle handle;
    explicit Image(const char *name)
    {
        char path[MAX_PATH];
        imagePath(path, name);
        handle = openDrive(path);
        if (!handle.isValid())
            fail(__LINE__, name, "not open", "open");
    }
    ~Image()
    {
        if (handle.isValid())
            CloseHandle(handle.native);
    }
    Image(const Image &) = delete;
    Image &operator=(const Image &) = delete;
};

bool holdsMarker(const unsigned char *sector, const char *text)
{
    const size_t n = std::strlen(text);
    if (std::memcmp(sector, text, n) != 0)
        return false;
    for (size_t i = n; i < kSectorSize; ++i)
        if (sector[i] != '#')
            return false;
    return true;
}

bool allBytes(const unsigned char *p, size_t n, unsigned char value)
{
    for (size_t i = 0; i < n; ++i)
        if (p[i] != value)
            return false;
    return true;
}

void pathTexts()
{
    const struct {
        int32_t drive;
        const char *text;
    } cases[] = {{0, "\\\\.\\PhysicalDrive0"}, {15, "\\\\.\\PhysicalDrive15"}};
    for (const auto &c : cases) {
        char buffer[kDrivePathBufferSize] = {};
        CHECK_EQ(formatWindowsDrivePath(buffer, sizeof buffer, c.drive), std::strlen(c.text));
        CHECK_STR(buffer, c.text);
        char platform[kDrivePathBufferSize] = {};
        CHECK_EQ(formatDrivePath(platform, c.drive), std::strlen(c.text));
        CHECK_STR(platform, c.text);
    }
    // What the path opens is not checked: Wine, run as root, opens \\.\PhysicalDrive0 but answers
    // neither the length request nor a read, and Windows opens it only for an administrator.
}

void offsetSplitAndJoin()
{
    const struct {
        uint64_t sector;
        uint32_t low, high;
    } cases[] = {{0, 0, 0}, {1, 512, 0}, {8388607, 0xFFFFFE00u, 0}, {8388608, 0, 1},
                 {4294967296ull, 0, 0x200}, {0x7FFFFFFFFFFFFFull, 0xFFFFFE00u, 0xFFFFFFFFu}};
    for (const auto &c : cases) {
        const OffsetHalves h = splitSectorOffset(c.sector);
        CHECK_EQ(h.low, c.low);
        CHECK_EQ(h.high, c.high);
        CHECK(joinOffsetHalves(h.low, h.high) == c.sector << 9);
    }
}

void defaultHandleIsInvalid()
{
    const DriveHandle h;
    CHECK(!h.isValid());
    CHECK(h.native == INVALID_HANDLE_VALUE);
    unsigned char buffer[kSectorSize] = {};
    CHECK_EQ(readSectors(h, buffer, 1), kReadFailed);
    CHECK_EQ(seekSector(h, 0, FILE_BEGIN_METHOD), kSeekFailed);
    CHECK_EQ(queryDriveSectors(h), 0);
    CHECK(allBytes(buffer, sizeof buffer, 0));

    char missing[MAX_PATH];
    imagePath(missing, "missing.img");
    CHECK(!openDrive(missing).isValid());
}

void seekBeyond2TiB()
{
    Image image("big.img");
    // Back to 0 last: a seek that kept the high half would land 2 TiB further.
    const struct {
        uint64_t sector;
        int64_t position;
        const char *marker;
    } cases[] = {{0, 0, "sector 0 here"},
                 {4294967296ull, 2199023255552ll, "sector 2^32 here"},
                 {0, 0, "sector 0 here"}};
    for (const auto &c : cases) {
        unsigned char sector[kSectorSize] = {};
        CHECK_EQ(seekSector(image.handle, c.sector, FILE_BEGIN_METHOD), c.position);
        CHECK_EQ(readSectors(image.handle, sector, 1), kSectorSize);
        CHECK(holdsMarker(sector, c.marker));
    }
}

void seekRelativeAndFailing()
{
    // From FILE_BEGIN a position is sector * 512, whose low half is never 0xFFFFFFFF; the end of
    // a file 8 GiB - 1 long is such a position, reached from FILE_END and FILE_CURRENT. Wine
    // clears a stale error itself when it returns such a low half, so under Wine this proves
    // that the low half alone is not taken for a failure, not that seekSector clears the error.
    Image odd("odd.img");
    SetLastError(ERROR_ACCESS_DENIED);
    CHECK_EQ(seekSector(odd.handle, 0, FILE_END_METHOD), 0x1FFFFFFFFll);
    SetLastError(ERROR_ACCESS_DENIED);
    CHECK_EQ(seekSector(odd.handle, 0, FILE_CURRENT_METHOD), 0x1FFFFFFFFll);

    Image tenSectors("small.img");
    CHECK_EQ(seekSector(tenSectors.handle, 8, FILE_BEGIN_METHOD), 8 * 512);
    CHECK_EQ(seekSector(tenSectors.handle, 1, FILE_CURRENT_METHOD), 9 * 512);
    // Sector 2^55 - 1 is byte 2^64 - 512, which SetFilePointer takes as -512: before the start.
    CHECK_EQ(seekSector(tenSectors.handle, 0x7FFFFFFFFFFFFFull, FILE_BEGIN_METHOD), kSeekFailed);
    CHECK_EQ(seekSector(tenSectors.handle, 0, FILE_CURRENT_METHOD), 9 * 512);
}

void readPastTheEnd()
{
    Image image("small.img");
    unsigned char buffer[4 * kSectorSize] = {};
    CHECK_EQ(seekSector(image.handle, 8, FILE_BEGIN_METHOD), 8 * 512);
    CHECK_EQ(readSectors(image.handle, buffer, 4), 1024);
    CHECK(allBytes(buffer, 1024, 'T'));
    CHECK(allBytes(buffer + 1024, sizeof buffer - 1024, 0));

    // Entirely past the end: nothing read, nothing touched.
    std::memset(buffer, 0, sizeof buffer);
    CHECK_EQ(seekSector(image.handle, 100, FILE_BEGIN_METHOD), 100 * 512);
    CHECK_EQ(readSectors(image.handle, buffer, 4), 0);
    CHECK(allBytes(buffer, sizeof buffer, 0));
}

void countZeroReadsNothing()
{
    Image image("big.img");
    unsigned char sector[kSectorSize] = {};
    CHECK_EQ(seekSector(image.handle, 0, FILE_BEGIN_METHOD), 0);
    CHECK_EQ(readSectors(image.handle, sector, 0), 0);
    CHECK(allBytes(sector, sizeof sector, 0));
    // The position did not move either: the marker is still next.
    CHECK_EQ(readSectors(image.handle, sector, 1), kSectorSize);
    CHECK(holdsMarker(sector, "sector 0 here"));
}

void openedReadOnly()
{
    Image image("small.img");
    DWORD written = 0;
    SetLastError(NO_ERROR);
    CHECK(!WriteFile(image.handle.native, "x", 1, &written, nullptr));
    CHECK_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    CHECK_EQ(written, 0);
    unsigned char sector[kSectorSize] = {};
    CHECK_EQ(seekSector(image.handle, 0, FILE_BEGIN_METHOD), 0);
    CHECK_EQ(readSectors(image.handle, sector, 1), kSectorSize);
    CHECK(allBytes(sector, sizeof sector, 0));

    // The disk may be open elsewhere, for writing too, while it is read.
    char path[MAX_PATH];
    imagePath(path, "small.img");
    const HANDLE other = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     nullptr, OPEN_EXISTING, 0, nullptr);
    CHECK(other != INVALID_HANDLE_VALUE);
    if (other != INVALID_HANDLE_VALUE)
        CloseHandle(other);
}

void lengthOfARegularFile()
{
    // The length request is meant for disks. Wine refuses it for a regular file
    // (ERROR_NOT_SUPPORTED) and leaves the answer unfilled; a refusal must give 0 sectors, not
    // whatever the answer held before.
    Image image("big.img");
    CHECK_EQ(queryDriveSectors(image.handle), 0);
}

const struct {
    const char *name;
    void (*run)();
} allCases[] = {
    {"path texts of drives 0 and 15", pathTexts},
    {"split and join of 64-bit offsets", offsetSplitAndJoin},
    {"default handle is the invalid one", defaultHandleIsInvalid},
    {"seek to sectors 0 and 2^32 lands on their bytes", seekBeyond2TiB},
    {"relative and failing seeks", seekRelativeAndFailing},
    {"read past the end is short and leaves the rest zero", readPastTheEnd},
    {"count of 0 reads nothing", countZeroReadsNothing},
    {"opened read-only", openedReadOnly},
    {"length request on a regular file", lengthOfARegularFile},
};

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::printf("usage: drive_win_test FOLDER\n");
        return 2;
    }
    imageFolder = argv[1];
    int passed = 0, failed = 0;
    for (const auto &c : allCases) {
        currentCase = c.name;
        caseFailed = false;
        c.run();
        ++(caseFailed ? failed : passed);
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    std::fflush(stdout);
    return failed == 0 ? 0 : 1;
}
