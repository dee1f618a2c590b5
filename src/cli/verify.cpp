// korvath-cli verify: a line per file of a case report, and a summary.
#include "commands.h"

#include "verify.h"

#include <QDir>
#include <QFileInfo>
#include <cstdio>

namespace korvath {
namespace cli {

namespace {

QString verdictLine(const FileVerdict &v, const ReportFile &f)
{
    QString line = v.filename + QStringLiteral(": ") + QLatin1String(fileStateText(v.state));
    if (v.state == FileState::Changed)
        line += QStringLiteral(" (SHA-256 now %1, recorded %2)").arg(v.sha256, f.sha256);
    if (v.source) {
        const SourceCheck &c = *v.source;
        if (c.matches)
            line += QStringLiteral("; source: OK");
        else if (!c.problem.isEmpty())
            line += QStringLiteral("; source: NOT CHECKED (%1)").arg(c.problem);
        else
            line += QStringLiteral("; source: DIFFERENT (its byte runs there give %1)").arg(c.sha256);
        if (c.unreadableSectors)
            line += QStringLiteral("; %1 on the source could not be read")
                        .arg(countText(c.unreadableSectors, "sector", "sectors"));
    }
    if (!v.parent.isEmpty()) {
        line += QStringLiteral("; made from %1: ").arg(v.parent);
        if (!v.parentState)
            line += QStringLiteral("NOT IN THE REPORT");
        else
            line += QLatin1String(fileStateText(*v.parentState));
        if (v.parentState && !v.parentHashAgrees)
            line += QStringLiteral(", but from a copy of another SHA-256 (%1)").arg(f.derived->masterHash);
        if (!v.parentSourceMatches)
            line += QStringLiteral(", which does not match the source");
    }
    return line;
}

} // namespace

int runVerify(const Options &o)
{
    CaseReport report;
    QString problem;
    if (!readDfxmlReport(o.report, &report, &problem)) {
        err(QStringLiteral("%1 is not a case report this program can check: %2")
                .arg(QDir::toNativeSeparators(o.report), problem));
        return ExitUsage;
    }
    CaseSource opened;
    if (!o.source.isEmpty()) {
        opened = openCaseSource(o.source, &problem);
        if (!opened.source) {
            err(problem);
            return ExitUsage;
        }
    }
    const std::vector<FileVerdict> verdicts =
        verifyCaseReport(report, QFileInfo(o.report).absolutePath(), opened.source.get());
    int good = 0, changed = 0, missing = 0, elsewhere = 0;
    for (size_t i = 0; i < verdicts.size(); ++i) {
        const FileVerdict &v = verdicts[i];
        out(verdictLine(v, report.files[i]));
        good += v.ok();
        changed += v.state == FileState::Changed;
        missing += v.state == FileState::Missing;
        elsewhere += v.source && !v.source->matches;
    }
    QString summary = QStringLiteral("%1 of %2 OK, %3 changed, %4 missing")
                          .arg(good)
                          .arg(countText(verdicts.size(), "file", "files"))
                          .arg(changed)
                          .arg(missing);
    if (opened.source)
        summary += QStringLiteral(", %1 not matching %2").arg(elsewhere).arg(o.source);
    std::fflush(stdout);
    err(summary);
    return good == int(verdicts.size()) ? ExitDone : ExitLoss;
}

} // namespace cli
} // namespace korvath
