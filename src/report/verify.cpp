#include "verify.h"

#include "iobuffer.h"
#include "layout.h"
#include "sectorread.h"
#include "sha256.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <map>

namespace korvath {

const char *fileStateText(FileState state)
{
    switch (state) {
    case FileState::Ok:
        return "OK";
    case FileState::Changed:
        return "CHANGED";
    case FileState::Missing:
        return "MISSING";
    }
    return "";
}

bool FileVerdict::ok() const
{
    return state == FileState::Ok && (!source || source->matches) && (parent.isEmpty() || parentState == FileState::Ok)
           && parentHashAgrees && parentSourceMatches;
}

QString fileSha256(const QString &path, bool *exists)
{
    const QFileInfo info(path);
    if (exists)
        *exists = info.exists() && info.isFile();
    QFile f(path);
    if (!info.isFile() || !f.open(QIODevice::ReadOnly))
        return QString();
    Sha256 hash;
    std::vector<char> buffer(1 << 20);
    for (;;) {
        const qint64 n = f.read(buffer.data(), static_cast<qint64>(buffer.size()));
        if (n < 0)
            return QString();
        if (n == 0)
            break;
        hash.update(buffer.data(), static_cast<size_t>(n));
    }
    return QString::fromStdString(hash.hex());
}

SourceCheck checkAgainstSource(const ReportFile &file, const SectorSource &source)
{
    SourceCheck check;
    Sha256 hash;
    IoBytes buffer(kClusterBytes);
    uint64_t at = 0; // bytes of the file accounted for
    for (const ByteRun &run : file.byteRuns) {
        if (run.fileOffset != at || run.imgOffset % kSectorSize || run.length % kSectorSize) {
            check.problem = QStringLiteral("its byte runs do not follow each other in whole sectors (at byte %1)").arg(at);
            return check;
        }
        for (uint64_t done = 0; done < run.length;) {
            const uint32_t bytes = static_cast<uint32_t>(std::min<uint64_t>(run.length - done, kClusterBytes));
            if (run.zeroFill)
                std::fill(buffer.begin(), buffer.begin() + bytes, uint8_t(0));
            else
                check.unreadableSectors += readSpan(source, (run.imgOffset + done) / kSectorSize, bytes / kSectorSize,
                                                    buffer.data());
            hash.update(buffer.data(), bytes);
            done += bytes;
        }
        at += run.length;
    }
    if (at != file.filesize) {
        check.problem = QStringLiteral("its byte runs hold %1 bytes, the file %2").arg(at).arg(file.filesize);
        return check;
    }
    check.sha256 = QString::fromStdString(hash.hex());
    check.matches = check.sha256 == file.sha256;
    return check;
}

std::vector<FileVerdict> verifyCaseReport(const CaseReport &report, const QString &folder, const SectorSource *source)
{
    std::vector<FileVerdict> out;
    std::map<QString, size_t> byName;
    for (const ReportFile &f : report.files) {
        FileVerdict v;
        v.filename = f.filename;
        bool exists = false;
        v.sha256 = fileSha256(QDir(folder).filePath(f.filename), &exists);
        v.state = !exists ? FileState::Missing : v.sha256 == f.sha256 ? FileState::Ok : FileState::Changed;
        if (source && !f.derived)
            v.source = checkAgainstSource(f, *source);
        byName.emplace(f.filename, out.size());
        out.push_back(v);
    }
    // A derived copy stands on its parent: the hash it was made from must be
    // the one recorded for the parent, and the parent must still be that file.
    for (size_t i = 0; i < report.files.size(); ++i) {
        const ReportFile &f = report.files[i];
        if (!f.derived)
            continue;
        FileVerdict &v = out[i];
        v.parent = f.derived->master;
        const auto p = byName.find(v.parent);
        if (p == byName.end()) {
            v.parentHashAgrees = false;
            continue;
        }
        const FileVerdict &parent = out[p->second];
        v.parentState = parent.state;
        v.parentHashAgrees = f.derived->masterHash.isEmpty() || f.derived->masterHash == report.files[p->second].sha256;
        v.parentSourceMatches = !parent.source || parent.source->matches;
    }
    return out;
}

} // namespace korvath
