// Shared helpers of the tests: programs run as a user runs them, drive
// numbers pointed at image files, the debug log captured, and what checks of
// outputs need (a file's bytes, their SHA-256, a stamp on the test day).
#pragma once

#include "recordertime.h"

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

namespace korvath {
namespace testkit {

struct ProcessRun {
    int code = -1; // -1 when it did not end by itself in time, or crashed
    QString out, err;
    qint64 ms = 0; // wall time
    QStringList outLines() const { return out.split(QLatin1Char('\n'), Qt::SkipEmptyParts); }
    QStringList errLines() const { return err.split(QLatin1Char('\n'), Qt::SkipEmptyParts); }
};

// As a user runs it: without the test runner's debug log rule, without the
// variables in `unset`, with those in `set`; killed after `timeoutMs`.
ProcessRun runProgram(const QString &program, const QStringList &args, const QStringList &unset = {},
                      const QMap<QString, QString> &set = {}, int timeoutMs = 120000, const QString &dir = {});

#ifdef KORVATH_CLI_PATH
// With `redirect`, through /bin/sh with those redirections of its own (">&-",
// ">/dev/full"), so that stdout is whatever a shell can make of it.
inline ProcessRun runCli(const QStringList &args, int timeoutMs = 120000, const QString &redirect = {})
{
    if (redirect.isEmpty())
        return runProgram(QStringLiteral(KORVATH_CLI_PATH), args, {}, {}, timeoutMs);
    return runProgram(QStringLiteral("/bin/sh"),
                      QStringList{QStringLiteral("-c"), QStringLiteral("exec \"$0\" \"$@\" ") + redirect,
                                  QStringLiteral(KORVATH_CLI_PATH)} + args,
                      {}, {}, timeoutMs);
}
#endif

// Why no headless Chromium can be had here; empty when it can.
QString browserMissing();
// Pictures a local page with headless Chromium (scripts/overview-shot); to
// an .html file, the page as the browser holds it once loaded.
ProcessRun pageScreenshot(const QString &page, const QString &png, const QString &size = QStringLiteral("1280x900"));

QByteArray fileBytes(const QString &path); // empty when it cannot be read
QString sha256Hex(const QByteArray &bytes);
// A stamp on 2024-03-01, the day the test images record.
RecorderTime sampleTime(int hour, int minute, int second = 0);

// Points drive numbers at files for as long as it lives; other numbers do not open.
class DriveMap
{
public:
    explicit DriveMap(const QMap<int, QString> &paths = {});
    ~DriveMap();
    void set(int number, const QString &path);
    void clear();

private:
    QMap<int, QString> m_paths;
};

// Collects the debug log while it lives.
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    QStringList lines() const;
    void clear();
    bool contains(const QString &line) const { return lines().contains(line); }

private:
};

// A small tmpfs mounted on `dir` for as long as it lives (it needs root);
// `error` holds errno when it could not be mounted.
struct TmpfsMount {
    QString point;
    int error = 0;
    TmpfsMount(const QString &dir, const char *options, unsigned long flags = 0);
    ~TmpfsMount() { release(); }
    TmpfsMount(const TmpfsMount &) = delete;
    TmpfsMount &operator=(const TmpfsMount &) = delete;
    bool ok() const { return error == 0; }
    void release();
};

} // namespace testkit
} // namespace korvath
