// Shared helpers of the tests: drive numbers pointed at image files, the
// debug log captured, and modal boxes answered from the test.
#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

namespace korvath {
namespace testkit {

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
