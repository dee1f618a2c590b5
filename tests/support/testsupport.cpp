#include "testsupport.h"

#include "drive.h"

#include <QMutex>
#include <QMutexLocker>
#include <QtGlobal>
#include <cerrno>
#include <sys/mount.h>

namespace korvath {
namespace testkit {

DriveMap::DriveMap(const QMap<int, QString> &paths) : m_paths(paths)
{
    setDrivePathResolver([this](int32_t n) { return m_paths.value(n).toStdString(); });
}

DriveMap::~DriveMap()
{
    setDrivePathResolver([](int32_t) { return std::string(); });
}

void DriveMap::set(int number, const QString &path)
{
    m_paths[number] = path;
}

void DriveMap::clear()
{
    m_paths.clear();
}

namespace {
QMutex g_logMutex;
QStringList g_lines;
int g_captures = 0;
QtMessageHandler g_previous = nullptr;

void messageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    {
        QMutexLocker lock(&g_logMutex);
        if (type == QtDebugMsg)
            g_lines.append(message);
    }
    // The offscreen platform's notice on every show says nothing about the program.
    if (message.contains(QLatin1String("propagateSizeHints")))
        return;
    if (type != QtDebugMsg && g_previous)
        g_previous(type, context, message);
}
} // namespace

LogCapture::LogCapture()
{
    QMutexLocker lock(&g_logMutex);
    if (g_captures++ == 0) {
        g_lines.clear();
        g_previous = qInstallMessageHandler(messageHandler);
    }
}

LogCapture::~LogCapture()
{
    QMutexLocker lock(&g_logMutex);
    if (--g_captures == 0)
        qInstallMessageHandler(g_previous);
}

QStringList LogCapture::lines() const
{
    QMutexLocker lock(&g_logMutex);
    return g_lines;
}

void LogCapture::clear()
{
    QMutexLocker lock(&g_logMutex);
    g_lines.clear();
}

TmpfsMount::TmpfsMount(const QString &dir, const char *options, unsigned long flags) : point(dir)
{
    if (::mount("tmpfs", dir.toLocal8Bit().constData(), "tmpfs", flags, options) != 0)
        error = errno;
}

void TmpfsMount::release()
{
    if (error == 0)
        ::umount2(point.toLocal8Bit().constData(), MNT_DETACH);
    error = -1;
}

} // namespace testkit
} // namespace korvath
