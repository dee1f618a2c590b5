// Every output of korvath-cli against hostile paths: the source or another
// output under its name, links at files and folders, a device that fills up,
// and a standard output that fails or is closed. Each output is whole under
// its name or absent, and the source is never touched.
#include "faultdevice.h"
#include "scan.h"
#include "testsupport.h"

#include <QDirIterator>
#include <QRegularExpression>
#include <QStorageInfo>
#include <functional>
#include <sys/mount.h>
#include <sys/stat.h>

#ifdef KORVATH_HAVE_VIDEO
#include "teststream.h"
#endif

using namespace korvath;
using namespace korvath::testkit;

namespace {

// Which file a path is and whether it changed: a write or a rename over it shows.
QString fileState(const QString &path)
{
    struct stat st = {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return QStringLiteral("absent");
    return QStringLiteral("%1 %2 %3.%4")
        .arg(st.st_ino)
        .arg(st.st_size)
        .arg(st.st_mtim.tv_sec)
        .arg(st.st_mtim.tv_nsec);
}

// Channel 1: two recordings of one cluster; channel 2: one. Where video is
// built, each cluster holds a short H.264 stream, so MP4s and pictures are made.
class Outputs : public ::testing::Test
{
public:
    static void SetUpTestSuite()
    {
        s_dir = new QTemporaryDir;
        ImageBuilder b(80 * 4096);
        b.recorderSignature();
        b.recording(0, sampleTime(8, 0), sampleTime(8, 10), {5}, 0x51);
        b.recording(0, sampleTime(9, 0), sampleTime(9, 10), {6}, 0x52);
        b.recording(1, sampleTime(10, 0), sampleTime(10, 10), {7}, 0x53);
#ifdef KORVATH_HAVE_VIDEO
        TestStreamOptions o;
        o.frames = 50;
        o.checksums = false;
        const QByteArray video = encodeTestStream(o).bytes;
        for (const uint32_t c : {5u, 6u, 7u})
            b.clusterBytes(c, video);
#endif
        ASSERT_TRUE(b.write(image()));
        s_builder = new ImageBuilder(b);
    }
    static void TearDownTestSuite()
    {
        delete s_builder;
        delete s_dir;
    }
    static QString image() { return s_dir->filePath(QStringLiteral("disk.img")); }
    static QString name(int k) { return recordingFileName(sampleTime(8 + k, 0), sampleTime(8 + k, 10), k == 2 ? 1 : 0); }
    static QString camera(int k) { return k == 2 ? QStringLiteral("CAM2") : QStringLiteral("CAM1"); }
    static QByteArray copy(int k) { return expectedBytes(*s_builder, image(), {5u + uint32_t(k)}); }
    QString path(const QString &relative) const { return tmp.filePath(relative); }
    QString native(int k) const { return path("out/" + camera(k) + "/" + name(k)); }
    QString mp4(int k) const { return path("out/" + camera(k) + "/playable/" + QString(name(k)).replace(".h264", ".mp4")); }
    QString png(int k) const { return path("out/" + camera(k) + "/" + QString(name(k)).replace(".h264", ".png")); }

    static QTemporaryDir *s_dir;
    static ImageBuilder *s_builder;
    QTemporaryDir tmp;
};

QTemporaryDir *Outputs::s_dir = nullptr;
ImageBuilder *Outputs::s_builder = nullptr;

// An output at the source (directly or through a link), at a file of its set,
// at another output, at its temporary name or at a folder outputs go into:
// refused as a usage error, nothing written, the source untouched.
TEST_F(Outputs, AnOutputOnTheSourceOrAnotherOutputIsRefused)
{
    struct Case {
        const char *what;
        std::function<bool(Outputs &)> prepare;
        std::function<QStringList(Outputs &)> args;
        const char *refusal; // the clause after "korvath-cli: <output> is "
        bool video;
    };
    const QString img = image();
    const Case cases[] = {
        {"report at the image", nullptr,
         [&](Outputs &t) { return QStringList{"export", img, "--out", t.path("out"), "--report", img, "--overwrite"}; },
         "the source", false},
        {"page at the image", nullptr,
         [&](Outputs &) { return QStringList{"overview", img, "--out", img, "--overwrite"}; }, "the source", false},
        {"page at a link to the image", [&](Outputs &t) { return QFile::link(img, t.path("page.html")); },
         [&](Outputs &t) { return QStringList{"overview", img, "--out", t.path("page.html"), "--overwrite"}; },
         "the source", false},
        {"report at the image, the source through a link", [&](Outputs &t) { return QFile::link(img, t.path("src")); },
         [&](Outputs &t) {
             return QStringList{"export", t.path("src"), "--out", t.path("out"), "--report", img, "--overwrite"};
         },
         "the source", false},
        {"source at the report's temporary name", [&](Outputs &t) { return QFile::link(img, t.path("case.xml.part")); },
         [&](Outputs &t) {
             return QStringList{"export", t.path("case.xml.part"), "--out", t.path("out"), "--report", t.path("case.xml")};
         },
         "the source", false},
        {"report at a native copy", [&](Outputs &t) { return QDir().mkpath(t.path("out/CAM1")); },
         [&](Outputs &t) {
             return QStringList{"export", img, "--out", t.path("out"), "--report", t.native(1), "--overwrite"};
         },
         "the native copy", false},
        {"report at a native copy's temporary name", [&](Outputs &t) { return QDir().mkpath(t.path("out/CAM1")); },
         [&](Outputs &t) {
             return QStringList{"export", img, "--out", t.path("out"), "--report", t.native(0) + ".part"};
         },
         "the temporary name of the native copy", false},
        {"report where a camera folder goes", nullptr,
         [&](Outputs &t) {
             return QStringList{"export", img, "--out", t.path("out"), "--channel", "all", "--report", t.path("out/CAM2")};
         },
         "the camera folder", false},
        {"report at another file of a split set",
         [&](Outputs &t) {
             return QProcess::execute("split", {"-b", "100M", "-d", "-a", "3", "--numeric-suffixes=1", img,
                                                t.path("disk.")}) == 0;
         },
         [&](Outputs &t) {
             return QStringList{"export", t.path("disk.001"), "--out", t.path("out"), "--report", t.path("disk.002"),
                                "--overwrite"};
         },
         "", false},
        {"report at a playable copy", [&](Outputs &t) { return QDir().mkpath(t.path("out/CAM1/playable")); },
         [&](Outputs &t) {
             return QStringList{"export", img, "--out", t.path("out"), "--mp4", "--report", t.mp4(0)};
         },
         "the playable copy", true},
        {"a picture at the source", [&](Outputs &t) { return QDir().mkpath(t.path("out/CAM2")) && QFile::link(img, t.png(2)); },
         [&](Outputs &t) { return QStringList{"preview", t.png(2), "--out", t.path("out"), "--channel", "2"}; },
         "the source", true},
        {"image at a link to the source", [&](Outputs &t) { return QFile::link(img, t.path("disk.raw")); },
         [&](Outputs &t) { return QStringList{"image", img, "--out", t.path("disk.raw"), "--overwrite"}; }, "the source",
         false},
        {"map at the report", nullptr,
         [&](Outputs &t) {
             return QStringList{"export", img, "--out", t.path("out"), "--report", t.path("case.xml"), "--map",
                                t.path("case.xml")};
         },
         "--report", false},
        {"image's map at its report", nullptr,
         [&](Outputs &t) {
             return QStringList{"image", img, "--out", t.path("disk.raw"), "--map", t.path("disk.raw.xml")};
         },
         "--report", false},
    };
    const QString before = fileState(img);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
#ifndef KORVATH_HAVE_VIDEO
        if (c.video)
            continue;
#endif
        Outputs &t = *this;
        QDir(path(".")).removeRecursively();
        ASSERT_TRUE(QDir().mkpath(path("out")));
        if (c.prepare)
            ASSERT_TRUE(c.prepare(t));
        const QStringList made = tree(path("."));
        const ProcessRun r = runCli(c.args(t));
        EXPECT_EQ(r.code, 2) << r.err.toStdString();
        ASSERT_EQ(r.errLines().size(), 1) << r.err.toStdString();
        EXPECT_TRUE(r.err.contains(QStringLiteral(" is ") + c.refusal))
            << r.err.toStdString();
        if (QString::fromLatin1(c.what).contains("split"))
            EXPECT_TRUE(r.err.contains("disk.002', a file of the source's set")) << r.err.toStdString();
        EXPECT_TRUE(r.err.endsWith("nothing was written; give another path\n")) << r.err.toStdString();
        EXPECT_EQ(tree(path(".")), made);
        EXPECT_EQ(fileState(img), before);
    }
}

// A link at an output's name is replaced by the new file, never written
// through; a link where Korvath makes a folder is refused, named.
TEST_F(Outputs, LinksAreReplacedNeverFollowed)
{
    struct Case {
        const char *what;
        std::function<QString(Outputs &)> target; // where the link is put
        std::function<QStringList(Outputs &)> args;
        std::function<bool(const QByteArray &)> looksRight; // of the file now at the target
        bool video;
    };
    const QString img = image();
    const auto startsWith = [](const char *head) {
        return [head](const QByteArray &b) { return b.startsWith(head); };
    };
    const Case files[] = {
        {"native copy", [](Outputs &t) { return t.native(0); },
         [&](Outputs &t) { return QStringList{"export", img, "--out", t.path("out"), "--overwrite"}; },
         [](const QByteArray &b) { return b == copy(0); }, false},
        {"report", [](Outputs &t) { return t.path("case.xml"); },
         [&](Outputs &t) {
             return QStringList{"export", img, "--out", t.path("out"), "--report", t.path("case.xml"), "--overwrite"};
         },
         startsWith("<?xml"), false},
        {"page", [](Outputs &t) { return t.path("page.html"); },
         [&](Outputs &t) { return QStringList{"overview", img, "--out", t.path("page.html"), "--overwrite"}; },
         startsWith("<!DOCTYPE html>"), false},
        {"picture", [](Outputs &t) { return t.path("one.png"); },
         [&](Outputs &t) {
             return QStringList{"preview", img, "--channel", "2", "--out", t.path("one.png"), "--overwrite"};
         },
         startsWith("\x89PNG"), true},
        {"playable copy", [](Outputs &t) { return t.mp4(0); },
         [&](Outputs &t) { return QStringList{"export", img, "--out", t.path("out"), "--mp4", "--overwrite"}; },
         [](const QByteArray &b) { return b.mid(4, 4) == "ftyp"; }, true},
    };
    const QByteArray kept("someone's file");
    for (const Case &c : files) {
        SCOPED_TRACE(c.what);
#ifndef KORVATH_HAVE_VIDEO
        if (c.video)
            continue;
#endif
        QDir(path(".")).removeRecursively();
        const QString target = c.target(*this);
        ASSERT_TRUE(QDir().mkpath(QFileInfo(target).path()) && QDir().mkpath(path("out")));
        ASSERT_TRUE(writeFile(path("victim"), kept) && QFile::link(path("victim"), target));
        const ProcessRun r = runCli(c.args(*this));
        EXPECT_EQ(r.code, 0) << r.err.toStdString();
        EXPECT_EQ(fileBytes(path("victim")), kept);
        EXPECT_FALSE(QFileInfo(target).isSymLink());
        EXPECT_TRUE(c.looksRight(fileBytes(target)));
    }

    struct FolderCase {
        const char *what;
        const char *link; // below the temporary folder
        QStringList args; // after SOURCE, with OUT for the output folder
        bool video;
    };
    const FolderCase folders[] = {
        {"camera folder", "out/CAM1", {"export", "--out", "OUT"}, false},
        {"playable folder", "out/CAM1/playable", {"export", "--out", "OUT", "--mp4"}, true},
        {"camera folder of the pictures", "out/CAM1", {"preview", "--out", "OUT"}, true},
    };
    for (const FolderCase &c : folders) {
        SCOPED_TRACE(c.what);
#ifndef KORVATH_HAVE_VIDEO
        if (c.video)
            continue;
#endif
        QDir(path(".")).removeRecursively();
        ASSERT_TRUE(QDir().mkpath(path("elsewhere")) && QDir().mkpath(QFileInfo(path(c.link)).path()));
        ASSERT_TRUE(QFile::link(path("elsewhere"), path(c.link)));
        QStringList args = c.args;
        args.insert(1, img);
        args.replaceInStrings(QRegularExpression("^OUT$"), path("out"));
        const ProcessRun r = runCli(args);
        EXPECT_EQ(r.code, 1) << r.err.toStdString();
        EXPECT_TRUE(r.err.contains(QDir::cleanPath(path(c.link))) && r.err.contains("a link is in the way"))
            << r.err.toStdString();
        EXPECT_EQ(tree(path("elsewhere")), QStringList());
        EXPECT_TRUE(QFileInfo(path(c.link)).isSymLink());
    }
}

// A save folder that fills up in the middle of an output: a failure naming
// the reason, and nothing under the output's name or its temporary name.
TEST_F(Outputs, AFullDiskLeavesNoCutOutput)
{
    struct Case {
        const char *what;
        const char *size;     // of the small file system
        qint64 left;          // bytes left free in it by a filler
        std::function<QStringList(Outputs &)> args;
        std::function<QString(Outputs &)> output; // that must be absent
        bool video;
    };
    const QString img = image();
    const Case cases[] = {
        {"report", "64k", 0,
         [&](Outputs &t) {
             return QStringList{"export", img, "--out", t.path("out"), "--channel", "all", "--report", t.path("full/case.xml")};
         },
         [](Outputs &t) { return t.path("full/case.xml"); }, false},
        {"page", "64k", 4096, [&](Outputs &t) { return QStringList{"overview", img, "--out", t.path("full/page.html")}; },
         [](Outputs &t) { return t.path("full/page.html"); }, false},
        {"picture", "64k", 4096,
         [&](Outputs &t) { return QStringList{"preview", img, "--channel", "2", "--out", t.path("full/one.png")}; },
         [](Outputs &t) { return t.path("full/one.png"); }, true},
        {"playable copy", "2112k", 16384,
         [&](Outputs &t) {
             return QStringList{"export", img, "--out", t.path("full"), "--name", name(0), "--mp4"};
         },
         [](Outputs &t) { return t.path("full/CAM1/playable/" + QString(name(0)).replace(".h264", ".mp4")); }, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
#ifndef KORVATH_HAVE_VIDEO
        if (c.video)
            continue;
#endif
        ASSERT_TRUE(QDir().mkpath(path("full")) && QDir().mkpath(path("out")));
        TmpfsMount small(path("full"), QStringLiteral("size=%1").arg(c.size).toLatin1().constData());
        if (!small.ok())
            GTEST_SKIP() << "no tmpfs may be mounted here (" << std::strerror(small.error) << ")";
        const qint64 room = QStorageInfo(path("full")).bytesAvailable();
        const qint64 filler = room - c.left - (QString(c.what) == "playable copy" ? qint64(kClusterBytes) : 0);
        ASSERT_TRUE(writeFile(path("full/filler"), QByteArray(int(filler), 'x')));
        const ProcessRun r = runCli(c.args(*this));
        EXPECT_EQ(r.code, 1) << r.err.toStdString();
        EXPECT_TRUE(r.err.contains("No space left on device")) << r.err.toStdString();
        EXPECT_FALSE(QFileInfo::exists(c.output(*this)));
        EXPECT_EQ(partFiles(path("full")), QStringList());
    }
}

// Hash lines that cannot be written: a full device or a closed descriptor is
// a failure, said on stderr, with every file still written whole; a pipe that
// nobody reads stops the export after the file in hand, keeping the report.
TEST_F(Outputs, AStandardOutputThatFailsIsAFailure)
{
    struct Case {
        const char *what;
        QString redirect; // for /bin/sh; FIFO stands for a named pipe
        int code;
        const char *said;
        int written; // recordings written, in order
    };
    const Case cases[] = {
        {"a full device", ">/dev/full", 1, "standard output could not be written (No space left on device)", 3},
        {"a closed descriptor", ">&-", 1, "standard output could not be written (Bad file descriptor)", 3},
        // Opened for reading and writing, then for writing, then the reading end closed:
        // korvath-cli starts with a pipe that has no reader.
        {"a pipe nobody reads", "3<>FIFO >FIFO 3<&-", 141, "stopped by a closed pipe on standard output", 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        QDir(path(".")).removeRecursively();
        ASSERT_TRUE(QDir().mkpath(path("out")));
        ASSERT_EQ(::mkfifo(QFile::encodeName(path("fifo")).constData(), 0600), 0);
        QString redirect = c.redirect;
        redirect.replace("FIFO", "'" + path("fifo") + "'");
        const ProcessRun r = runCli({"export", image(), "--out", path("out"), "--channel", "all", "--sha256", "--report",
                                 path("case.xml")},
                                60000, redirect);
        EXPECT_EQ(r.code, c.code) << r.err.toStdString();
        EXPECT_TRUE(r.err.contains(c.said)) << r.err.toStdString();
        EXPECT_TRUE(r.err.contains(QStringLiteral("%1 of 3 recordings written").arg(c.written))) << r.err.toStdString();
        for (int k = 0; k < 3; ++k)
            EXPECT_EQ(fileBytes(native(k)), k < c.written ? copy(k) : QByteArray()) << k;
        EXPECT_EQ(partFiles(path("out")), QStringList());
        const QByteArray report = fileBytes(path("case.xml"));
        EXPECT_TRUE(report.trimmed().endsWith("</dfxml>"));
        EXPECT_EQ(report.count("<fileobject>"), c.written);
        EXPECT_EQ(report.count("not_written name="), 3 - c.written);
    }
}

// The report's folder cannot be written: refused before the export reads or
// writes anything.
TEST_F(Outputs, AReportThatCannotBeWrittenIsRefusedFirst)
{
    ASSERT_TRUE(QDir().mkpath(path("ro")) && QDir().mkpath(path("out")));
    TmpfsMount readOnly(path("ro"), "size=64k", MS_RDONLY);
    if (!readOnly.ok())
        GTEST_SKIP() << "no tmpfs may be mounted here (" << std::strerror(readOnly.error) << ")";
    const ProcessRun r = runCli({"export", image(), "--out", path("out"), "--report", path("ro/case.xml")});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.errLines(), QStringList{"korvath-cli: --report '" + path("ro/case.xml") + "' cannot be written (cannot create " +
                                        path("ro/case.xml.part") + ": Read-only file system); nothing was read or written"});
    EXPECT_EQ(tree(path("out")), QStringList());
}

#ifdef KORVATH_HAVE_VIDEO
// The page's previews are kept in memory: no temporary folder is made, so a
// stop cannot leave one behind.
TEST_F(Outputs, ThePageNeedsNoTemporaryFolder)
{
    ASSERT_TRUE(QDir().mkpath(path("tmp")));
    const QByteArray before = qgetenv("TMPDIR");
    qputenv("TMPDIR", QFile::encodeName(path("tmp")));
    const ProcessRun r = runCli({"overview", image(), "--out", path("page.html"), "--frames", "2"});
    if (before.isNull())
        qunsetenv("TMPDIR");
    else
        qputenv("TMPDIR", before);
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(fileBytes(path("page.html")).count("data:image/png;base64,"), 3);
    EXPECT_EQ(tree(path("tmp")), QStringList());
}
#endif

} // namespace
