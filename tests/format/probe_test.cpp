// The two probes of sector 0, run on image files the way the program runs them.
#include "imagebuilder.h"
#include "probe.h"
#include "testsupport.h"

#include <QDebug>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <algorithm>
#include <unistd.h>

// Readable failure messages.
void PrintTo(const QString &s, std::ostream *os)
{
    *os << s.toStdString();
}

using namespace korvath;
using korvath::testkit::ImageBuilder;
using korvath::testkit::LogCapture;

namespace {

// How the debug stream writes a text value: in double quotes, odd characters escaped.
QString quoted(const QString &text)
{
    QString out;
    QDebug(&out).nospace() << text;
    return out;
}

void putU32(QByteArray &b, int at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

struct Sector0Case {
    const char *what;
    QByteArray head; // bytes 0-2
    QByteArray tail; // bytes 510-511
    bool entries;    // a partition table with a first entry starting at `start`
    uint32_t start;
    bool recorder;
    bool mbr;
};

QByteArray makeSector0(const Sector0Case &c)
{
    QByteArray s(512, '\0');
    s.replace(0, 3, c.head);
    s.replace(510, 2, c.tail);
    if (c.entries) {
        s[446] = static_cast<char>(0x80); // boot flag
        s[450] = 0x07;                    // type
        putU32(s, 454, c.start);
        putU32(s, 458, 0x12345678); // sector count, right after the start
        putU32(s, 470, 999999);     // second entry's start
    }
    return s;
}

const QByteArray kBoot("\xEB\x63\x90", 3);
const QByteArray kMbrTail("\x55\xAA", 2);

const Sector0Case kCases[] = {
    {"recorder volume", "WFS", "XM", false, 0, true, false},
    {"lower-case letters", "wfs", "XM", false, 0, false, false},
    {"tail M then X", "WFS", "MX", false, 0, false, false},
    {"a percent sign and a digit on disk", "%1A", "XM", false, 0, false, false},
    {"blank sector", QByteArray(3, '\0'), QByteArray(2, '\0'), false, 0, false, false},
    {"boot record, partition at 63", kBoot, kMbrTail, true, 63, false, true},
    {"boot record, partition at 2048", kBoot, kMbrTail, true, 2048, false, true},
    {"boot record, empty first entry", kBoot, kMbrTail, false, 0, false, true},
    {"boot record, partition at 2^31", kBoot, kMbrTail, true, 0x80000000u, false, true},
    {"boot record, partition at 2^32-1", kBoot, kMbrTail, true, 0xFFFFFFFFu, false, true},
    {"WFS head with a boot signature", "WFS", kMbrTail, true, 2048, false, true},
};

// The probe's lines without the optional dump of the first entry.
QStringList withoutEntryDump(QStringList lines)
{
    lines.erase(std::remove_if(lines.begin(), lines.end(),
                               [](const QString &l) { return l.startsWith(QLatin1String("first partition entry:")); }),
                lines.end());
    return lines;
}

// Sector 1 looks like a recorder volume and sector 2 like a boot record, so a
// probe that reads wherever the handle stands instead of sector 0 is caught.
TEST(Sector0Probes, OnImages)
{
    QTemporaryDir dir;
    QByteArray recorderDecoy(512, '\0');
    recorderDecoy.replace(0, 3, "WFS");
    recorderDecoy.replace(510, 2, "XM");
    QByteArray mbrDecoy(512, '\0');
    putU32(mbrDecoy, 454, 777);
    mbrDecoy.replace(510, 2, kMbrTail);

    int n = 0;
    for (const Sector0Case &c : kCases) {
        SCOPED_TRACE(c.what);
        const QString path = dir.filePath(QStringLiteral("d%1.img").arg(n++));
        const QByteArray s0 = makeSector0(c);
        ASSERT_TRUE(ImageBuilder(64).sector0(s0).write(path));
        {
            QFile f(path);
            ASSERT_TRUE(f.open(QIODevice::ReadWrite));
            ASSERT_TRUE(f.seek(512));
            ASSERT_EQ(f.write(recorderDecoy + mbrDecoy), 1024);
        }
        const DriveHandle h = openDrive(path.toLocal8Bit().constData());
        ASSERT_TRUE(h.isValid());

        LogCapture log;
        seekSector(h, 1, FILE_BEGIN_METHOD);
        EXPECT_EQ(checkRecorderSignature(DriveSource(h)), c.recorder);
        const QStringList signatureLines = {
            quoted(QString::fromLatin1(c.head.constData(), 3)), quoted(QString::fromLatin1(c.tail.constData(), 2)),
            c.recorder ? QStringLiteral("\"Check Disk OK:WFS and XM\"") : QStringLiteral("\"Check Disk failed:WFS and XM\"")};
        EXPECT_EQ(log.lines(), signatureLines);

        log.clear();
        seekSector(h, 2, FILE_BEGIN_METHOD);
        EXPECT_EQ(findPartitionStart(DriveSource(h)), c.mbr ? c.start : 0u);
        const QStringList partitionLines =
            c.mbr ? QStringList{QStringLiteral("\"have MBR\""), QStringLiteral("RelativeSec: %1").arg(c.start)}
                  : QStringList{QStringLiteral("\"do not have MBR\"")};
        EXPECT_EQ(withoutEntryDump(log.lines()), partitionLines);
        EXPECT_LE(log.lines().size(), partitionLines.size() + 1);
        ::close(h.native);

        // The buffer forms agree with the drive forms.
        const auto *bytes = reinterpret_cast<const uint8_t *>(s0.constData());
        EXPECT_EQ(hasRecorderSignature(bytes, 512), c.recorder);
        EXPECT_EQ(probePartitionStart(bytes, 512).hasMbr, c.mbr);
        EXPECT_EQ(probePartitionStart(bytes, 512).relativeSec, c.mbr ? c.start : 0u);
    }
}

// A sector 0 that cannot be read whole leaves zeros in place of what is missing.
TEST(Sector0Probes, ShortOrUnreadableSector0ReadsAsZeros)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("short.img"));
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        QByteArray head(100, '\0');
        head.replace(0, 3, "WFS");
        ASSERT_EQ(f.write(head), 100);
    }
    const DriveHandle shortImage = openDrive(path.toLocal8Bit().constData());
    ASSERT_TRUE(shortImage.isValid());
    const QString zeros2 = quoted(QString(2, QChar(0)));
    const struct {
        const char *what;
        DriveHandle handle;
        QString head;
    } cases[] = {{"100-byte image", shortImage, QStringLiteral("\"WFS\"")},
                 {"invalid handle", DriveHandle(), quoted(QString(3, QChar(0)))}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        LogCapture log;
        EXPECT_FALSE(checkRecorderSignature(DriveSource(c.handle)));
        EXPECT_EQ(findPartitionStart(DriveSource(c.handle)), 0u);
        EXPECT_EQ(log.lines(), (QStringList{c.head, zeros2, QStringLiteral("\"Check Disk failed:WFS and XM\""),
                                            QStringLiteral("\"do not have MBR\"")}));
    }
    ::close(shortImage.native);
}

} // namespace
