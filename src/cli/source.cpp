#include "commands.h"

#include "disklist.h"

#ifdef KORVATH_HAVE_IMAGES
#include "imagesource.h"
#endif

#include <QFileInfo>
#include <QRegularExpression>
#include <cerrno>
#include <cstring>

namespace korvath {
namespace cli {

namespace {

#ifdef KORVATH_HAVE_IMAGES
// An evidence image read like a drive.
class EvidenceImage : public SectorSource
{
public:
    explicit EvidenceImage(std::unique_ptr<ImageSource> image, std::string path)
        : m_image(std::move(image)), m_path(std::move(path))
    {
    }
    int64_t sectors() const override { return static_cast<int64_t>(m_image->sectors()); }
    uint32_t read(uint64_t sector, void *buffer, uint32_t count) const override
    {
        return m_image->read(sector, buffer, count);
    }
    std::string path() const override { return m_path; }

private:
    std::unique_ptr<ImageSource> m_image;
    std::string m_path;
};

// An image set (E01, split raw, AFF) through the image layer; a plain raw
// file stays with the drive layer. False with `error` set when the set is
// incomplete or damaged beyond opening.
bool openEvidenceImage(const QString &path, OpenedSource *opened, QString *error)
{
    QString why;
    std::unique_ptr<ImageSource> image = ImageSource::open(path, &why);
    if (!image) {
        // Only a set the image layer recognises is its business.
        const QString suffix = QFileInfo(path).suffix().toLower();
        static const QRegularExpression setSuffix(QStringLiteral("^(e\\d\\d|e[a-z][a-z]|aff|\\d{3})$"));
        if (setSuffix.match(suffix).hasMatch() || why.contains(QLatin1String("missing"))) {
            *error = QStringLiteral("cannot open '%1': %2").arg(path, why);
            return false;
        }
        return true;
    }
    if (image->kind() == ImageSource::Kind::Raw) {
        const QString suffix = QFileInfo(path).suffix().toLower();
        static const QRegularExpression ewfName(QStringLiteral("^(e\\d\\d|ex01)$"));
        if (ewfName.match(suffix).hasMatch() || suffix == QLatin1String("aff"))
            err(QStringLiteral("'%1' is named like an %2 image but does not begin like one: read as a raw image")
                    .arg(path, suffix == QLatin1String("aff") ? QStringLiteral("AFF") : QStringLiteral("E01")));
        return true;
    }
    opened->kind = image->kindName();
    opened->segments = image->segments();
    for (const StoredHash &h : image->storedHashes())
        opened->imageHashes.append({h.type, h.hex});
    opened->devicePath = path;
    opened->source = std::make_shared<EvidenceImage>(std::move(image), path.toStdString());
    return true;
}
#endif

} // namespace

// All digits: a drive number, as `disks` prints it; anything else: a path.
OpenedSource openSource(const QString &source, QString *error)
{
    OpenedSource opened;
    opened.given = source;
    static const QRegularExpression digits(QStringLiteral("^\\d+$"));
    QString device = source;
    QString shown = QStringLiteral("'%1'").arg(source);
    bool driveNumber = false;
    if (digits.match(source).hasMatch()) {
        const int n = source.size() <= 2 ? source.toInt() : kMaxDriveNumber + 1;
        if (n > kMaxDriveNumber) {
            *error = QStringLiteral("drive number %1 is not one of 0 to %2").arg(source).arg(kMaxDriveNumber);
            return opened;
        }
        char path[kDrivePathBufferSize] = {};
        formatDrivePath(path, n);
        device = QString::fromLocal8Bit(path);
        if (device.isEmpty()) {
            *error = QStringLiteral("there is no drive %1 (see 'korvath-cli disks')").arg(n);
            return opened;
        }
        shown = QStringLiteral("drive %1 (%2)").arg(n).arg(device);
        driveNumber = true;
    } else if (source.isEmpty()) {
        *error = QStringLiteral("the SOURCE is empty: give a drive number, a block device or a disk image");
        return opened;
    } else if (QFileInfo(source).isDir()) {
        *error = QStringLiteral("'%1' is a folder, not a drive or disk image").arg(source);
        return opened;
    }
#ifdef KORVATH_HAVE_IMAGES
    if (!driveNumber && QFileInfo(source).isFile()) {
        if (!openEvidenceImage(source, &opened, error))
            return opened;
        if (opened.source)
            return opened;
    }
#endif
    errno = 0;
    const DriveHandle handle = openDrive(device.toLocal8Bit().constData());
    if (!handle.isValid()) {
        const int cause = errno;
        *error = QStringLiteral("cannot open %1 read-only: %2")
                     .arg(shown, cause ? QString::fromLocal8Bit(std::strerror(cause)) : QStringLiteral("refused"));
        return opened;
    }
    auto drive = std::make_shared<DriveSource>(handle, device.toStdString());
    if (drive->sectors() <= 0) {
        *error = QStringLiteral("%1 has no sectors: not a block device or disk image").arg(shown);
        return opened;
    }
    opened.blockDevice = !QFileInfo(device).isFile();
    opened.kind = driveNumber ? QStringLiteral("drive") : opened.blockDevice ? QStringLiteral("block device")
                                                                             : QStringLiteral("raw image");
    opened.devicePath = device;
    opened.source = drive;
    return opened;
}

} // namespace cli
} // namespace korvath
