#include "commands.h"

#include "disklist.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cerrno>
#include <cstdio>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace korvath {
namespace cli {

int runDisks(const Options &o)
{
    const std::vector<DiscoveredDrive> drives = discoverDrives();
    if (drives.empty()) {
        // An empty list alone cannot tell "nothing attached" from "not allowed".
        bool any = false, denied = false;
        for (int32_t n = 0; n <= kMaxDriveNumber; ++n) {
            char path[kDrivePathBufferSize] = {};
            formatDrivePath(path, n);
            if (!*path)
                continue;
            any = true;
#ifndef _WIN32
            denied = denied || (access(path, R_OK) != 0 && errno == EACCES);
#endif
        }
        if (!any)
            err(QStringLiteral("no drive found: no whole-disk block device is attached"));
        else if (denied)
            err(QStringLiteral("no drive could be opened: permission denied (run as root, or join the disk group)"));
        else
            err(QStringLiteral("no drive could be opened"));
    }
    if (o.json) {
        QJsonArray array;
        for (const DiscoveredDrive &d : drives)
            array.append(QJsonObject{{QStringLiteral("number"), d.number},
                                     {QStringLiteral("device"), d.path},
                                     {QStringLiteral("sectors"), static_cast<qint64>(d.sectors)},
                                     {QStringLiteral("gigabytes"), static_cast<qint64>(d.gigabytes)},
                                     {QStringLiteral("recorder"), d.recorder}});
        std::fputs(QJsonDocument(array).toJson(QJsonDocument::Indented).constData(), stdout);
        return ExitDone;
    }
    for (const DiscoveredDrive &d : drives)
        out(QStringLiteral("%1\t%2\t%3\t%4")
                .arg(d.number)
                .arg(d.gigabytes)
                .arg(d.recorder ? QStringLiteral("Male disk") : QStringLiteral("Disk"), d.path));
    return ExitDone;
}

} // namespace cli
} // namespace korvath
