// A failing drive for the tests: korvath-faultfs serves an image through
// FUSE as a file whose chosen sectors fail with EIO, answer slowly, or stop
// answering altogether, so the program meets real kernel read errors.
#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <cstdint>
#include <memory>
#include <vector>

namespace korvath {
namespace testkit {

struct SectorRange {
    uint64_t first = 0, last = 0; // inclusive, 512-byte sectors of the image
};

struct Faults {
    std::vector<SectorRange> bad;  // reads touching them fail (short read or EIO)
    std::vector<SectorRange> slow; // reads touching them wait slowMs first
    unsigned slowMs = 0;
    int64_t vanishAt = -1; // the first read reaching this sector ends the drive; -1: never
    std::vector<SectorRange> hang; // reads touching them answer only after release()
    bool logReads = false;         // keep each read request for reads()
};

// One read request as the server got it from the kernel.
struct ReadRequest {
    uint64_t sector = 0, count = 0;
};

// What the server answered, counted per request it got from the kernel.
struct FaultCounts {
    bool known = false; // false when the server's counts could not be had
    uint64_t reads = 0, failed = 0, shortReads = 0, slowReads = 0, afterVanishing = 0;
};

class FaultMount
{
public:
    // Mounts `image` read-only on a new temporary folder and waits (up to 10 s)
    // until the file is there.
    FaultMount(const QString &image, const Faults &faults);
    // Unmounts and reaps the server, also when the test failed half-way.
    ~FaultMount();
    FaultMount(const FaultMount &) = delete;
    FaultMount &operator=(const FaultMount &) = delete;

    bool isMounted() const { return m_mounted; }
    QString error() const { return m_error; } // why it is not mounted
    QString path() const;                     // <mount point>/disk.img
    // Unmounts now and returns the server's counts; later calls return them again.
    FaultCounts unmount();
    // Lets the hanging reads answer (also done before unmounting).
    void release();
    // The read requests so far, in order (with Faults::logReads).
    std::vector<ReadRequest> reads() const;

    // Why no failing drive can be had here (no /dev/fuse, no right to mount,
    // the server not built); empty when one can. Tried once per process.
    static QString unavailableReason();

private:
    QTemporaryDir m_dir;
    std::unique_ptr<QProcess> m_server;
    bool m_mounted = false;
    QString m_error;
    FaultCounts m_counts;
};

} // namespace testkit
} // namespace korvath
