// What a command will write, checked against the source and against itself
// before anything is read or written.
#include "commands.h"

#include "outputfile.h"
#include "playable.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>

namespace korvath {
namespace cli {

namespace {

QString quoted(const QString &path)
{
    return quotedPath(path);
}

} // namespace

bool previewIsOnePicture(const Options &o)
{
    return !QFileInfo(o.outDir).isDir() && o.outDir.endsWith(QLatin1String(".png"), Qt::CaseInsensitive);
}

QString previewPath(const Options &o, const Recording &r)
{
    if (previewIsOnePicture(o))
        return o.outDir;
    QString base = r.name;
    if (base.endsWith(QLatin1String(".h264"), Qt::CaseInsensitive))
        base.chop(5);
    return recordingFolderPath(o.outDir, r) + QLatin1Char('/') + base + QStringLiteral(".png");
}

QString outputClash(const Options &o, const CaseSource &opened, const QList<const Recording *> &chosen)
{
    OutputClaims claims;
    claims.addSource(opened.description.devicePath, QStringLiteral("the source %1").arg(quoted(opened.description.devicePath)));
    for (const QString &segment : opened.description.segments)
        claims.addSource(segment, QStringLiteral("%1, a file of the source's set").arg(quoted(segment)));
    if (!o.sourceMap.isEmpty())
        claims.addSource(o.sourceMap, QStringLiteral("--source-map %1").arg(quoted(o.sourceMap)));

    const QString out = QStringLiteral("--out %1").arg(quoted(o.outDir));
    QSet<uint32_t> channels;
    const auto cameraFolder = [&](const Recording &r) {
        const QString folder = cameraFolderPath(o.outDir, r.channel);
        if (!channels.contains(r.channel))
            claims.addFolder(folder, QStringLiteral("the camera folder %1").arg(quoted(folder)));
        channels.insert(r.channel);
    };
    switch (o.command) {
    case Command::Export:
        claims.addFolder(o.outDir, out);
        claimExportFiles(claims, o.outDir, chosen, o.mp4);
        if (!o.report.isEmpty())
            claims.addFile(o.report, QStringLiteral("--report %1").arg(quoted(o.report)));
        if (!o.map.isEmpty())
            claims.addFile(o.map, QStringLiteral("--map %1").arg(quoted(o.map)));
        break;
    case Command::Image:
        claims.addFile(o.outDir, out);
        claims.addFile(o.report, QStringLiteral("--report %1").arg(quoted(o.report)));
        if (!o.map.isEmpty())
            claims.addFile(o.map, QStringLiteral("--map %1").arg(quoted(o.map)));
        break;
    case Command::Overview:
        claims.addFile(o.outDir, out);
        break;
    case Command::Preview:
        if (previewIsOnePicture(o)) {
            claims.addFile(o.outDir, out);
            break;
        }
        claims.addFolder(o.outDir, out);
        for (const Recording *r : chosen) {
            cameraFolder(*r);
            claims.addFile(previewPath(o, *r), QStringLiteral("the picture %1").arg(quoted(previewPath(o, *r))));
        }
        break;
    default:
        return {};
    }
    const QString clash = claims.clash();
    return clash.isEmpty() ? clash : clash + QStringLiteral("; nothing was written; give another path");
}

} // namespace cli
} // namespace korvath
