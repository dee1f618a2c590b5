// korvath-faultfs: a failing drive for the tests, through the kernel. It
// serves one backing image read-only as <mount point>/disk.img, where chosen
// sectors answer EIO, others answer slowly, and the whole drive can go away.
//
//   korvath-faultfs [--bad LIST]... [--slow LIST]... [--slow-ms MS]
//                   [--vanish-at SECTOR] [--hang LIST --release FILE]
//                   [--log FILE] IMAGE MOUNTPOINT
//
// LIST is comma-separated 512-byte sector numbers or inclusive ranges A-B.
// A read that touches a bad sector returns the bytes before the first bad
// one (a short read), or EIO when there are none, as a disk under the
// kernel does; sector by sector, exactly the bad sectors fail. A read that
// touches a slow sector waits MS milliseconds first. The first read that
// reaches the vanishing sector returns what lies before it, and every read
// after it fails, as a drive that went away. A read that touches a hanging
// sector answers only once FILE exists, as a drive stuck in its retries; the
// other reads go on meanwhile on other threads. --log writes "SECTOR COUNT"
// for each read request as it arrives. Runs in the foreground, with direct
// I/O so the page cache never reads ahead over a bad sector, one read at a
// time apart from hanging ones. On unmount it prints one line of counts.
#define FUSE_USE_VERSION 31

#include <fuse.h>

#include <mutex>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <csignal>
#include <fcntl.h>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr uint64_t kSector = 512;
constexpr const char *kFileName = "disk.img";

struct Range {
    uint64_t first, last; // inclusive
};

struct State {
    int fd = -1;
    uint64_t size = 0;
    std::vector<Range> bad, slow, hang;
    std::string release;
    FILE *log = nullptr;
    std::mutex mutex; // one read at a time, as a single disk answers
    unsigned slowMs = 0;
    uint64_t vanishAt = UINT64_MAX;
    bool vanished = false;
    uint64_t reads = 0, failed = 0, shortReads = 0, slowReads = 0, afterVanishing = 0;
};

State g;

bool parseNumber(const char *text, uint64_t *value)
{
    if (!*text || !std::strchr("0123456789", *text))
        return false;
    char *end = nullptr;
    errno = 0;
    *value = std::strtoull(text, &end, 10);
    return errno == 0 && *end == '\0';
}

bool parseList(const char *text, std::vector<Range> *ranges)
{
    std::string all(text);
    size_t at = 0;
    while (at <= all.size()) {
        const size_t comma = std::min(all.find(',', at), all.size());
        const std::string item = all.substr(at, comma - at);
        const size_t dash = item.find('-');
        Range r{};
        if (dash == std::string::npos) {
            if (!parseNumber(item.c_str(), &r.first))
                return false;
            r.last = r.first;
        } else if (!parseNumber(item.substr(0, dash).c_str(), &r.first)
                   || !parseNumber(item.substr(dash + 1).c_str(), &r.last) || r.last < r.first) {
            return false;
        }
        ranges->push_back(r);
        at = comma + 1;
    }
    return true;
}

bool touches(const std::vector<Range> &ranges, uint64_t first, uint64_t last)
{
    for (const Range &r : ranges)
        if (r.first <= last && r.last >= first)
            return true;
    return false;
}

int getattrOp(const char *path, struct stat *st, fuse_file_info *)
{
    std::memset(st, 0, sizeof *st);
    if (std::strcmp(path, "/") == 0) {
        st->st_mode = S_IFDIR | 0555;
        st->st_nlink = 2;
        return 0;
    }
    if (path[0] == '/' && std::strcmp(path + 1, kFileName) == 0) {
        st->st_mode = S_IFREG | 0444;
        st->st_nlink = 1;
        st->st_size = static_cast<off_t>(g.size);
        return 0;
    }
    return -ENOENT;
}

int readdirOp(const char *path, void *buf, fuse_fill_dir_t fill, off_t, fuse_file_info *, fuse_readdir_flags)
{
    if (std::strcmp(path, "/") != 0)
        return -ENOENT;
    fill(buf, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    fill(buf, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    fill(buf, kFileName, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    return 0;
}

int openOp(const char *path, fuse_file_info *fi)
{
    if (path[0] != '/' || std::strcmp(path + 1, kFileName) != 0)
        return -ENOENT;
    if ((fi->flags & O_ACCMODE) != O_RDONLY)
        return -EROFS;
    fi->direct_io = 1; // no read-ahead: errors stay at sector granularity
    fi->keep_cache = 0;
    return 0;
}

int readOp(const char *, char *buf, size_t size, off_t offset, fuse_file_info *)
{
    if (g.log) {
        std::lock_guard<std::mutex> lock(g.mutex);
        std::fprintf(g.log, "%" PRIu64 " %" PRIu64 "\n", static_cast<uint64_t>(offset) / kSector,
                     static_cast<uint64_t>(size) / kSector);
        std::fflush(g.log);
    }
    if (!g.hang.empty() && size) {
        const uint64_t first = static_cast<uint64_t>(offset) / kSector;
        const uint64_t last = (static_cast<uint64_t>(offset) + size - 1) / kSector;
        if (touches(g.hang, first, last))
            while (::access(g.release.c_str(), F_OK) != 0)
                ::usleep(20000);
    }
    std::lock_guard<std::mutex> lock(g.mutex);
    ++g.reads;
    if (g.vanished) {
        ++g.failed;
        ++g.afterVanishing;
        return -EIO;
    }
    const uint64_t begin = static_cast<uint64_t>(offset);
    if (size == 0 || begin >= g.size)
        return 0;
    const uint64_t end = std::min<uint64_t>(begin + size, g.size);
    const uint64_t first = begin / kSector, last = (end - 1) / kSector;

    // Where the answer stops: the first bad sector, or the vanishing point.
    uint64_t stop = end;
    for (const Range &r : g.bad)
        if (r.first <= last && r.last >= first)
            stop = std::min(stop, std::max(r.first, first) * kSector);
    if (g.vanishAt <= last) {
        stop = std::min(stop, std::max(g.vanishAt, first) * kSector);
        g.vanished = true;
    }
    if (g.slowMs && touches(g.slow, first, last)) {
        ++g.slowReads;
        ::usleep(g.slowMs * 1000u);
    }
    if (stop <= begin) {
        ++g.failed;
        return -EIO;
    }
    uint64_t done = 0;
    while (begin + done < stop) {
        const ssize_t n = ::pread(g.fd, buf + done, stop - begin - done, static_cast<off_t>(begin + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<uint64_t>(n);
    }
    if (done == 0) {
        ++g.failed;
        return -EIO;
    }
    if (done < end - begin)
        ++g.shortReads;
    return static_cast<int>(done);
}

void *initOp(fuse_conn_info *, fuse_config *cfg)
{
    cfg->direct_io = 1;
    cfg->kernel_cache = 0;
    cfg->auto_cache = 0;
    return nullptr;
}

int usage(const char *why)
{
    std::fprintf(stderr,
                 "korvath-faultfs: %s\n"
                 "usage: korvath-faultfs [--bad LIST]... [--slow LIST]... [--slow-ms MS] [--vanish-at SECTOR] "
                 "IMAGE MOUNTPOINT\n",
                 why);
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    // A test that dies must not leave its drive mounted.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);

    std::vector<const char *> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool takesValue = a == "--bad" || a == "--slow" || a == "--slow-ms" || a == "--vanish-at"
                                || a == "--hang" || a == "--release" || a == "--log";
        if (takesValue && i + 1 >= argc)
            return usage((a + " needs a value").c_str());
        uint64_t n = 0;
        if (a == "--release") {
            g.release = argv[++i];
        } else if (a == "--log") {
            g.log = std::fopen(argv[++i], "w");
            if (!g.log)
                return usage("--log: cannot write the file");
        } else if (a == "--bad" || a == "--slow" || a == "--hang") {
            if (!parseList(argv[++i], a == "--bad" ? &g.bad : a == "--slow" ? &g.slow : &g.hang))
                return usage((a + ": not a list of sectors or ranges A-B: " + argv[i]).c_str());
        } else if (a == "--slow-ms") {
            if (!parseNumber(argv[++i], &n) || n > 60000)
                return usage("--slow-ms: not a number of milliseconds up to 60000");
            g.slowMs = static_cast<unsigned>(n);
        } else if (a == "--vanish-at") {
            if (!parseNumber(argv[++i], &g.vanishAt))
                return usage("--vanish-at: not a sector number");
        } else if (a.size() > 1 && a[0] == '-') {
            return usage(("unknown option " + a).c_str());
        } else {
            positional.push_back(argv[i]);
        }
    }
    if (positional.size() != 2)
        return usage("needs IMAGE and MOUNTPOINT");
    if (!g.hang.empty() && g.release.empty())
        return usage("--hang needs --release FILE");

    g.fd = ::open(positional[0], O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (g.fd < 0 || ::fstat(g.fd, &st) != 0)
        return usage((std::string("cannot open ") + positional[0] + ": " + std::strerror(errno)).c_str());
    g.size = static_cast<uint64_t>(st.st_size);

    fuse_operations ops{};
    ops.getattr = getattrOp;
    ops.readdir = readdirOp;
    ops.open = openOp;
    ops.read = readOp;
    ops.init = initOp;

    std::vector<char *> args = {argv[0], const_cast<char *>("-f"), const_cast<char *>("-o"),
                                const_cast<char *>("ro,fsname=korvath-faultfs,subtype=korvath-faultfs"),
                                const_cast<char *>(positional[1])};
    const int rc = fuse_main(static_cast<int>(args.size()), args.data(), &ops, nullptr);
    std::printf("reads=%" PRIu64 " failed=%" PRIu64 " short=%" PRIu64 " slow=%" PRIu64 " after_vanishing=%" PRIu64 "\n",
                g.reads, g.failed, g.shortReads, g.slowReads, g.afterVanishing);
    std::fflush(stdout);
    return rc;
}
