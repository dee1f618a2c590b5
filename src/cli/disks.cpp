#include "commands.h"

#include "disklist.h"
#include "driveidentity.h"

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
    // Model and serial tell two drives of one size apart; a loop device has its file instead.
    std::vector<DriveIdentity> ids;
    for (const DiscoveredDrive &d : drives)
        ids.push_back(driveIdentity(d.path));
    if (o.json) {
        QJsonArray array;
        for (size_t i = 0; i < drives.size(); ++i) {
            const DiscoveredDrive &d = drives[i];
            QJsonObject drive{{QStringLiteral("number"), d.number},
                              {QStringLiteral("device"), d.path},
                              {QStringLiteral("sectors"), static_cast<qint64>(d.sectors)},
                              {QStringLiteral("gigabytes"), static_cast<qint64>(d.gigabytes)},
                              {QStringLiteral("recorder"), d.recorder},
                              {QStringLiteral("model"), ids[i].model},
                              {QStringLiteral("serial"), ids[i].serial}};
            if (!ids[i].vendor.isEmpty())
                drive.insert(QStringLiteral("vendor"), ids[i].vendor);
            if (!ids[i].backingFile.isEmpty())
                drive.insert(QStringLiteral("backing_file"), ids[i].backingFile);
            array.append(drive);
        }
        outText(QJsonDocument(array).toJson(QJsonDocument::Indented));
        return ExitDone;
    }
    for (size_t i = 0; i < drives.size(); ++i) {
        const DiscoveredDrive &d = drives[i];
        // Tabs inside a field from sysfs would shift the columns.
        const auto field = [](QString v) { return v.replace(QLatin1Char('\t'), QLatin1Char(' ')); };
        out(QStringLiteral("%1\t%2\t%3\t%4\t%5\t%6")
                .arg(d.number)
                .arg(d.gigabytes)
                .arg(d.recorder ? QStringLiteral("Male disk") : QStringLiteral("Disk"), d.path,
                     field(ids[i].model), field(ids[i].serial)));
    }
    return ExitDone;
}

} // namespace cli
} // namespace korvath
