#include "testsupport.h"

#include "drive.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QProcess>
#include <QStandardPaths>
#include <QtGlobal>
#include <cerrno>
#include <sys/mount.h>

namespace korvath {
namespace testkit {

ProcessRun runProgram(const QString &program, const QStringList &args, const QStringList &unset,
                      const QMap<QString, QString> &set, int timeoutMs, const QString &dir)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("QT_LOGGING_RULES"));
    for (const QString &name : unset)
        env.remove(name);
    for (auto it = set.cbegin(); it != set.cend(); ++it)
        env.insert(it.key(), it.value());
    p.setProcessEnvironment(env);
    p.setWorkingDirectory(dir);
    QElapsedTimer timer;
    timer.start();
    p.start(program, args);
    const bool ended = p.waitForFinished(timeoutMs);
    if (!ended) {
        p.kill();
        p.waitForFinished(5000);
    }
    ProcessRun r;
    r.ms = timer.elapsed();
    r.code = ended && p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromLocal8Bit(p.readAllStandardOutput());
    r.err = QString::fromLocal8Bit(p.readAllStandardError());
    return r;
}

QString browserMissing()
{
    if (QStandardPaths::findExecutable(QStringLiteral("chromium")).isEmpty()
        && QStandardPaths::findExecutable(QStringLiteral("chromium-browser")).isEmpty())
        return QStringLiteral("chromium is not installed (scripts/setup installs it)");
    return {};
}

ProcessRun pageScreenshot(const QString &page, const QString &png, const QString &size)
{
    return runProgram(QStringLiteral(KORVATH_SOURCE_DIR "/scripts/overview-shot"), {page, png, size});
}

QByteArray fileBytes(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QString sha256Hex(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

RecorderTime sampleTime(int hour, int minute, int second)
{
    return packRecorderTime(2024, 3, 1, hour, minute, second);
}

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
