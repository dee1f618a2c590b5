#include "commands.h"

#include "disklist.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <cerrno>
#include <cstring>

namespace korvath {
namespace cli {

// All digits: a drive number, as `disks` prints it; anything else: a path.
std::shared_ptr<const SectorSource> openSource(const QString &source, QString *error)
{
    static const QRegularExpression digits(QStringLiteral("^\\d+$"));
    QString device = source;
    QString shown = QStringLiteral("'%1'").arg(source);
    if (digits.match(source).hasMatch()) {
        const int n = source.size() <= 2 ? source.toInt() : kMaxDriveNumber + 1;
        if (n > kMaxDriveNumber) {
            *error = QStringLiteral("drive number %1 is not one of 0 to %2").arg(source).arg(kMaxDriveNumber);
            return nullptr;
        }
        char path[kDrivePathBufferSize] = {};
        formatDrivePath(path, n);
        device = QString::fromLocal8Bit(path);
        if (device.isEmpty()) {
            *error = QStringLiteral("there is no drive %1 (see 'korvath-cli disks')").arg(n);
            return nullptr;
        }
        shown = QStringLiteral("drive %1 (%2)").arg(n).arg(device);
    } else if (QFileInfo(source).isDir()) {
        *error = QStringLiteral("'%1' is a folder, not a drive or disk image").arg(source);
        return nullptr;
    }
    const DriveHandle handle = openDrive(device.toLocal8Bit().constData());
    if (!handle.isValid()) {
        const int cause = errno;
        *error = QStringLiteral("cannot open %1 read-only: %2").arg(shown, QString::fromLocal8Bit(std::strerror(cause)));
        return nullptr;
    }
    auto opened = std::make_shared<DriveSource>(handle, device.toStdString());
    if (opened->sectors() <= 0) {
        *error = QStringLiteral("%1 has no sectors: not a block device or disk image").arg(shown);
        return nullptr;
    }
    return opened;
}

} // namespace cli
} // namespace korvath
