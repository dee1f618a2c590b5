#include "faultmount.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QStringList>
#include <QThread>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace korvath {
namespace testkit {

namespace {

constexpr int kMountWaitMs = 10000;

QString serverPath()
{
#ifdef KORVATH_FAULTFS_PATH
    return QStringLiteral(KORVATH_FAULTFS_PATH);
#else
    return QString();
#endif
}

// The window keeps its drives open until the process ends, as a recorder
// tool does; in a test that outlives its mount they would hold the server
// up until its unmount gives up.
void closeDescriptorsBelow(const QString &folder)
{
    const QString prefix = QFileInfo(folder).canonicalFilePath() + QLatin1Char('/');
    const QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QString &fd : fds.entryList(QDir::System | QDir::Files | QDir::NoDotAndDotDot)) {
        if (QFileInfo(fds.filePath(fd)).symLinkTarget().startsWith(prefix))
            ::close(fd.toInt());
    }
}

QString rangesText(const std::vector<SectorRange> &ranges)
{
    QStringList parts;
    for (const SectorRange &r : ranges)
        parts << (r.first == r.last ? QString::number(r.first) : QStringLiteral("%1-%2").arg(r.first).arg(r.last));
    return parts.join(QLatin1Char(','));
}

// fusermount3 where it is installed (it also serves users who are not root), else umount.
bool unmountFolder(const QString &folder, bool lazy)
{
    const QString fusermount = QStandardPaths::findExecutable(QStringLiteral("fusermount3"));
    QStringList args;
    QString program;
    if (!fusermount.isEmpty()) {
        program = fusermount;
        args << (lazy ? QStringLiteral("-uzq") : QStringLiteral("-uq")) << folder;
    } else {
        program = QStringLiteral("umount");
        if (lazy)
            args << QStringLiteral("-l");
        args << folder;
    }
    QProcess p;
    p.start(program, args);
    return p.waitForFinished(10000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

FaultCounts parseCounts(const QString &text)
{
    FaultCounts c;
    int found = 0;
    for (const QString &field : text.simplified().split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const QStringList kv = field.split(QLatin1Char('='));
        if (kv.size() != 2)
            continue;
        bool ok = false;
        const uint64_t n = kv[1].toULongLong(&ok);
        if (!ok)
            continue;
        uint64_t *slot = kv[0] == QLatin1String("reads")             ? &c.reads
                         : kv[0] == QLatin1String("failed")          ? &c.failed
                         : kv[0] == QLatin1String("short")           ? &c.shortReads
                         : kv[0] == QLatin1String("slow")            ? &c.slowReads
                         : kv[0] == QLatin1String("after_vanishing") ? &c.afterVanishing
                                                                     : nullptr;
        if (slot) {
            *slot = n;
            ++found;
        }
    }
    c.known = found == 5;
    return c;
}

QString tryMount()
{
    const QString server = serverPath();
    if (server.isEmpty())
        return QStringLiteral("korvath-faultfs was not built: libfuse3 (pkg-config fuse3) was not found when the build "
                              "was configured");
    if (!QFileInfo(server).isExecutable())
        return QStringLiteral("korvath-faultfs is not built at %1").arg(server);
    if (!QFileInfo::exists(QStringLiteral("/dev/fuse")))
        return QStringLiteral("/dev/fuse does not exist here (no FUSE in this kernel or container)");
    const int fd = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return QStringLiteral("/dev/fuse cannot be opened: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
    ::close(fd);
    if (::geteuid() != 0 && QStandardPaths::findExecutable(QStringLiteral("fusermount3")).isEmpty())
        return QStringLiteral("not root and no fusermount3 to mount with");

    // The real thing once: a mount of a one-sector image that must read back.
    QTemporaryDir dir;
    QFile image(dir.filePath(QStringLiteral("trial.img")));
    const QByteArray sector(512, 'k');
    if (!dir.isValid() || !image.open(QIODevice::WriteOnly) || image.write(sector) != sector.size())
        return QStringLiteral("no temporary folder for a trial mount");
    image.close();
    FaultMount trial(image.fileName(), Faults{});
    if (!trial.isMounted())
        return QStringLiteral("a trial mount failed: %1").arg(trial.error());
    QFile served(trial.path());
    if (!served.open(QIODevice::ReadOnly) || served.readAll() != sector)
        return QStringLiteral("a trial mount did not read back its image");
    return QString();
}

} // namespace

FaultMount::FaultMount(const QString &image, const Faults &faults)
{
    const QString server = serverPath();
    if (server.isEmpty() || !m_dir.isValid()) {
        m_error = server.isEmpty() ? QStringLiteral("korvath-faultfs was not built") : QStringLiteral("no temporary folder");
        return;
    }
    const QString mountPoint = m_dir.filePath(QStringLiteral("mnt"));
    QDir().mkpath(mountPoint);
    QStringList args;
    if (!faults.bad.empty())
        args << QStringLiteral("--bad") << rangesText(faults.bad);
    if (!faults.slow.empty())
        args << QStringLiteral("--slow") << rangesText(faults.slow) << QStringLiteral("--slow-ms")
             << QString::number(faults.slowMs);
    if (faults.vanishAt >= 0)
        args << QStringLiteral("--vanish-at") << QString::number(faults.vanishAt);
    if (!faults.hang.empty())
        args << QStringLiteral("--hang") << rangesText(faults.hang) << QStringLiteral("--release")
             << m_dir.filePath(QStringLiteral("release"));
    if (faults.logReads)
        args << QStringLiteral("--log") << m_dir.filePath(QStringLiteral("reads.log"));
    args << image << mountPoint;

    m_server.reset(new QProcess);
    m_server->start(server, args);
    if (!m_server->waitForStarted(kMountWaitMs)) {
        m_error = QStringLiteral("korvath-faultfs did not start: %1").arg(m_server->errorString());
        return;
    }
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < kMountWaitMs) {
        if (QFileInfo::exists(path())) {
            m_mounted = true;
            return;
        }
        if (m_server->waitForFinished(10)) {
            m_error = QStringLiteral("korvath-faultfs ended with status %1: %2")
                          .arg(m_server->exitCode())
                          .arg(QString::fromLocal8Bit(m_server->readAllStandardError()).trimmed());
            return;
        }
    }
    m_error = QStringLiteral("%1 did not appear within %2 ms").arg(path()).arg(kMountWaitMs);
    unmount();
}

FaultMount::~FaultMount()
{
    unmount();
}

QString FaultMount::path() const
{
    return m_dir.filePath(QStringLiteral("mnt/disk.img"));
}

void FaultMount::release()
{
    QFile(m_dir.filePath(QStringLiteral("release"))).open(QIODevice::WriteOnly);
}

std::vector<ReadRequest> FaultMount::reads() const
{
    std::vector<ReadRequest> out;
    QFile log(m_dir.filePath(QStringLiteral("reads.log")));
    if (!log.open(QIODevice::ReadOnly))
        return out;
    for (const QByteArray &line : log.readAll().split('\n')) {
        const QList<QByteArray> f = line.split(' ');
        if (f.size() == 2)
            out.push_back({f[0].toULongLong(), f[1].toULongLong()});
    }
    return out;
}

FaultCounts FaultMount::unmount()
{
    if (!m_server)
        return m_counts;
    release(); // a hanging read would hold the unmount
    const QString mountPoint = m_dir.filePath(QStringLiteral("mnt"));
    // A server that is still mounted ends when its mount goes away.
    if (m_server->state() != QProcess::NotRunning) {
        closeDescriptorsBelow(mountPoint);
        if (!unmountFolder(mountPoint, false))
            unmountFolder(mountPoint, true);
        if (!m_server->waitForFinished(10000)) {
            m_server->kill();
            m_server->waitForFinished(5000);
            unmountFolder(mountPoint, true);
        }
    }
    m_counts = parseCounts(QString::fromLocal8Bit(m_server->readAllStandardOutput()));
    m_server.reset();
    m_mounted = false;
    return m_counts;
}

QString FaultMount::unavailableReason()
{
    static const QString reason = tryMount();
    return reason;
}

} // namespace testkit
} // namespace korvath
