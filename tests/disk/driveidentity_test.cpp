// Drive model and serial read from a sysfs tree laid out in a temporary
// folder the way Linux lays out each kind of disk.
#include "driveidentity.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace korvath;

namespace {

class FakeSys
{
public:
    explicit FakeSys(const QString &root) : m_root(root) {}

    // A disk (or partition) folder in the device tree, linked from class/block.
    QString disk(const QString &devicePath, const QString &name)
    {
        const QString dir = m_root + QStringLiteral("/devices/") + devicePath + QLatin1Char('/') + name;
        QDir().mkpath(dir);
        QDir().mkpath(m_root + QStringLiteral("/class/block"));
        QFile::link(dir, m_root + QStringLiteral("/class/block/") + name);
        return dir;
    }
    void file(const QString &path, const QByteArray &bytes)
    {
        QDir().mkpath(QFileInfo(path).path());
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }
    void link(const QString &target, const QString &at)
    {
        QDir().mkpath(QFileInfo(at).path());
        ASSERT_TRUE(QFile::link(target, at));
    }

private:
    QString m_root;
};

QByteArray vpdPage80(const QByteArray &serial)
{
    QByteArray page("\x00\x80\x00", 3);
    page += char(serial.size());
    return page + serial;
}

TEST(DriveIdentityTest, EachKindOfDiskAsLinuxReportsIt)
{
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    const QString root = tmp.filePath(QStringLiteral("sys"));
    FakeSys sys(root);

    // SATA disk behind libata: model and vendor padded, serial in VPD page 0x80.
    const QString scsiDevice = root + QStringLiteral("/devices/pci0000:00/ata1/host0/target0:0:0/0:0:0:0");
    const QString sda = sys.disk(QStringLiteral("pci0000:00/ata1/host0/target0:0:0/0:0:0:0/block"), QStringLiteral("sda"));
    sys.file(scsiDevice + QStringLiteral("/model"), "WDC WD80PURZ-85Y\n");
    sys.file(scsiDevice + QStringLiteral("/vendor"), "ATA     \n");
    sys.file(scsiDevice + QStringLiteral("/vpd_pg80"), vpdPage80("    WD-CA1234567890"));
    sys.link(scsiDevice, sda + QStringLiteral("/device"));
    // Its first partition: the folder below the disk's.
    const QString sda1 = sys.disk(QStringLiteral("pci0000:00/ata1/host0/target0:0:0/0:0:0:0/block/sda"), QStringLiteral("sda1"));
    sys.file(sda1 + QStringLiteral("/partition"), "1\n");

    // NVMe: the namespace's device is the controller.
    const QString ctrl = root + QStringLiteral("/devices/pci0000:00/0000:00:01.0/nvme/nvme0");
    const QString nvme = sys.disk(QStringLiteral("pci0000:00/0000:00:01.0/nvme/nvme0"), QStringLiteral("nvme0n1"));
    sys.file(ctrl + QStringLiteral("/model"), "Samsung SSD 980 PRO 1TB                 \n");
    sys.file(ctrl + QStringLiteral("/serial"), "S5GXNX0R123456      \n");
    sys.link(ctrl, nvme + QStringLiteral("/device"));

    // virtio: a serial beside the disk, a PCI vendor number under device.
    const QString virtioDevice = root + QStringLiteral("/devices/pci0000:00/0000:00:02.0/virtio1");
    const QString vda = sys.disk(QStringLiteral("pci0000:00/0000:00:02.0/virtio1/block"), QStringLiteral("vda"));
    sys.file(vda + QStringLiteral("/serial"), "overlayblk");
    sys.file(virtioDevice + QStringLiteral("/vendor"), "0x1af4\n");
    sys.link(virtioDevice, vda + QStringLiteral("/device"));

    // SD card: name and serial.
    const QString mmcDevice = root + QStringLiteral("/devices/platform/mmc0/mmc0:aaaa");
    const QString mmc = sys.disk(QStringLiteral("platform/mmc0/mmc0:aaaa/block"), QStringLiteral("mmcblk0"));
    sys.file(mmcDevice + QStringLiteral("/name"), "SD32G\n");
    sys.file(mmcDevice + QStringLiteral("/serial"), "0x1234abcd\n");
    sys.link(mmcDevice, mmc + QStringLiteral("/device"));

    // Loop devices, one attached to a file with an odd name, one free.
    const QString loop0 = sys.disk(QStringLiteral("virtual/block"), QStringLiteral("loop0"));
    sys.file(loop0 + QStringLiteral("/loop/backing_file"), "/srv/case one/disk.img\n");
    sys.disk(QStringLiteral("virtual/block"), QStringLiteral("loop1"));

    // A drive whose fields carry control bytes and a broken VPD page.
    const QString oddDevice = root + QStringLiteral("/devices/odd/0:0:0:1");
    const QString sdb = sys.disk(QStringLiteral("odd/0:0:0:1/block"), QStringLiteral("sdb"));
    sys.file(oddDevice + QStringLiteral("/model"), QByteArray("Disk\x01\x7f X\0\0", 10));
    sys.file(oddDevice + QStringLiteral("/vpd_pg80"), QByteArray("\x00\x83\x00\x04" "ABCD", 8));
    sys.link(oddDevice, sdb + QStringLiteral("/device"));

    // A /dev/disk/by-id link names the real node.
    const QString dev = tmp.filePath(QStringLiteral("dev"));
    sys.file(dev + QStringLiteral("/sda"), {});
    sys.link(dev + QStringLiteral("/sda"), dev + QStringLiteral("/disk/by-id/ata-WDC_WD80PURZ_WD-CA1234567890"));

    struct Case {
        QString path;
        QString kernelName, vendor, model, serial, backingFile;
    };
    const Case cases[] = {
        {QStringLiteral("/dev/sda"), "sda", "ATA", "WDC WD80PURZ-85Y", "WD-CA1234567890", ""},
        {QStringLiteral("/dev/sda1"), "sda", "ATA", "WDC WD80PURZ-85Y", "WD-CA1234567890", ""},
        {dev + QStringLiteral("/disk/by-id/ata-WDC_WD80PURZ_WD-CA1234567890"), "sda", "ATA", "WDC WD80PURZ-85Y",
         "WD-CA1234567890", ""},
        {QStringLiteral("/dev/nvme0n1"), "nvme0n1", "", "Samsung SSD 980 PRO 1TB", "S5GXNX0R123456", ""},
        {QStringLiteral("/dev/vda"), "vda", "", "", "overlayblk", ""},
        {QStringLiteral("/dev/mmcblk0"), "mmcblk0", "", "SD32G", "0x1234abcd", ""},
        {QStringLiteral("/dev/loop0"), "loop0", "", "", "", "/srv/case one/disk.img"},
        {QStringLiteral("/dev/loop1"), "loop1", "", "", "", ""},
        {QStringLiteral("/dev/sdb"), "sdb", "", "Disk X", "", ""},
        {QStringLiteral("/dev/sdz"), "", "", "", "", ""},
        {QStringLiteral("/tmp/image.dd"), "", "", "", "", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path.toStdString());
        const DriveIdentity id = driveIdentity(c.path, root);
        EXPECT_EQ(id.kernelName, c.kernelName);
        EXPECT_EQ(id.vendor, c.vendor);
        EXPECT_EQ(id.model, c.model);
        EXPECT_EQ(id.serial, c.serial);
        EXPECT_EQ(id.backingFile, c.backingFile);
        EXPECT_EQ(id.known(), !(c.model.isEmpty() && c.serial.isEmpty() && c.backingFile.isEmpty()));
    }
}

TEST(DriveIdentityTest, SerialFromTheVpdPageHonoursItsLength)
{
    EXPECT_EQ(serialFromVpdPage80(vpdPage80("  ZA1B2C3D  ")), QLatin1String("ZA1B2C3D"));
    QByteArray longer = vpdPage80("ABC");
    longer += "trailing junk";
    EXPECT_EQ(serialFromVpdPage80(longer), QLatin1String("ABC"));
    EXPECT_EQ(serialFromVpdPage80(QByteArray("\x00\x80\x00", 3)), QString());
    EXPECT_EQ(serialFromVpdPage80(QByteArray("\x00\x83\x00\x03" "ABC", 7)), QString());
}

} // namespace
