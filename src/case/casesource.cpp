#include "casesource.h"

#include "disklist.h"
#include "driveidentity.h"
#include "imagesource.h"
#include "sha256.h"

#include <QDir>

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <cerrno>
#include <cstring>

namespace korvath {

namespace {

// Whether a file may be an image set rather than a plain raw image: a set's
// suffix, or the first bytes of an EWF or AFF file. Only then is the image
// module (The Sleuth Kit, libewf) loaded.
bool hasSetSuffix(const QString &path)
{
    static const QRegularExpression setSuffix(QStringLiteral("^(e\\d\\d|e[a-z][a-z]|aff|\\d{3})$"));
    return setSuffix.match(QFileInfo(path).suffix().toLower()).hasMatch();
}

bool mayBeImageSet(const QString &path)
{
    if (hasSetSuffix(path))
        return true;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray head = file.read(8);
    return head.startsWith(QByteArrayLiteral("EVF\x09\x0d\x0a\xff\x00")) || head.startsWith(QByteArrayLiteral("AFF10\r\n"));
}

// An image set (E01, split raw, AFF) through the image layer; a plain raw
// file stays with the drive layer. False with `error` set when the set is
// incomplete or damaged beyond opening.
bool openEvidenceImage(const QString &path, CaseSource *opened, QString *error, QStringList *notes)
{
    if (!mayBeImageSet(path))
        return true;
    QString why;
    const ImageModule *module = imageModule(&why);
    if (!module) {
        *error = QStringLiteral("cannot open '%1': this program cannot load its image module: %2").arg(path, why);
        return false;
    }
    ImageFacts facts;
    std::unique_ptr<SectorSource> image = module->open(path, &facts, &why);
    if (!image) {
        // Only a set the image layer recognises is its business.
        if (hasSetSuffix(path) || why.contains(QLatin1String("missing"))) {
            *error = QStringLiteral("cannot open '%1': %2").arg(path, why);
            return false;
        }
        return true;
    }
    if (facts.kind == ImageSource::Kind::Raw) {
        const QString suffix = QFileInfo(path).suffix().toLower();
        static const QRegularExpression ewfName(QStringLiteral("^(e\\d\\d|ex01)$"));
        if (ewfName.match(suffix).hasMatch() || suffix == QLatin1String("aff"))
            if (notes)
                *notes << QStringLiteral("'%1' is named like an %2 image but does not begin like one: read as a raw image")
                              .arg(path, suffix == QLatin1String("aff") ? QStringLiteral("AFF") : QStringLiteral("E01"));
        return true;
    }
    SourceDescription &d = opened->description;
    d.imageFormat = facts.kindName;
    d.segments = facts.segments;
    for (const StoredHash &h : facts.hashes)
        d.imageHashes.push_back({h.type, h.hex});
    d.devicePath = path;
    opened->source = std::shared_ptr<const SectorSource>(std::move(image));
    return true;
}

} // namespace

// All digits: a drive number, as the disk list gives it; anything else: a path.
CaseSource openCaseSource(const QString &source, QString *error, QStringList *notes)
{
    CaseSource opened;
    SourceDescription &d = opened.description;
    d.givenPath = source;
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
            *error = QStringLiteral("there is no drive %1 (see the list of disks)").arg(n);
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
    if (!driveNumber && QFileInfo(source).isFile()) {
        if (!openEvidenceImage(source, &opened, error, notes))
            return opened;
        if (opened.source) {
            d.sectors = static_cast<uint64_t>(std::max<int64_t>(opened.source->sectors(), 0));
            d.sizeBytes = d.sectors * kSectorSize;
            return opened;
        }
    }
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
    d.blockDevice = !QFileInfo(device).isFile();
    d.imageFormat = driveNumber ? QStringLiteral("drive") : d.blockDevice ? QStringLiteral("block device")
                                                                          : QStringLiteral("raw image");
    d.devicePath = device;
    d.sectors = static_cast<uint64_t>(drive->sectors());
    d.sizeBytes = d.sectors * kSectorSize;
    if (d.blockDevice) {
        const DriveIdentity id = driveIdentity(device);
        d.vendor = id.vendor;
        d.model = id.model;
        d.serial = id.serial;
        d.backingFile = id.backingFile;
    }
    opened.source = drive;
    return opened;
}

bool readThroughImageMap(CaseSource &opened, const QString &mapPath, QString *error)
{
    RescueMap map;
    if (!RescueMap::load(mapPath, opened.description.sizeBytes, &map, error))
        return false;
    opened.description.imageMap = mapPath;
    opened.description.imageMapSummary = mapSummaryText(map);
    opened.source = std::make_shared<MappedImageSource>(opened.source, std::move(map));
    return true;
}

void describeListing(SourceDescription &d, const Listing &listing, const QString &directorySha256)
{
    d.recorderSignature = listing.signature;
    d.sector0Read = listing.sector0Read;
    d.partitionStart = listing.volumeStart;
    d.layout = listing.info;
    d.directoryUnreadable = listing.directoryUnreadable;
    d.directorySha256 = directorySha256;
}

CaseListing listCase(const CaseSource &source, const ScanQuery &query, bool hashDirectory, DirectoryRead *directory,
                     const DirectoryReadOptions &read)
{
    CaseListing out;
    std::function<void(const DirectoryRead &)> onDirectory;
    if (hashDirectory || directory)
        onDirectory = [&](const DirectoryRead &d) {
            if (hashDirectory && d.sector0Read)
                out.directoryDigest = QString::fromStdString(Sha256::hexOf(d.bytes.data(), d.bytes.size()));
            if (directory)
                *directory = d;
        };
    out.listing = listRecordings(source.source, query, onDirectory, read);
    return out;
}

} // namespace korvath
