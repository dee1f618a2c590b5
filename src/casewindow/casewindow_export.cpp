// The export of the chosen recordings through the case job.
#include "casewindow.h"

#include "counttext.h"
#include "exportdialog.h"
#include "outputfile.h"
#include "playable.h"
#include "recordingtable.h"
#include "videomodule.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <QSet>
#include <QSettings>
#include <QStatusBar>
#include <QTableView>

namespace korvath {

namespace {

// What the request would write, against the source and against itself: the
// first clash ("the report 'x' is the source 'x'"), or empty.
QString outputClash(const JobRequest &q)
{
    OutputClaims claims;
    const SourceDescription &d = q.source.description;
    claims.addSource(d.devicePath, QObject::tr("the source %1").arg(quotedPath(d.devicePath)));
    for (const QString &segment : d.segments)
        claims.addSource(segment, QObject::tr("%1, a file of the source's set").arg(quotedPath(segment)));
    claims.addFolder(q.folder, QObject::tr("the export folder %1").arg(quotedPath(q.folder)));
    QList<const Recording *> chosen;
    for (const JobEntry &e : q.entries) {
        const auto r = q.listing.recordings.constFind(e.name);
        if (r != q.listing.recordings.constEnd())
            chosen << &*r;
    }
    claimExportFiles(claims, q.folder, chosen, q.mp4);
    const auto shown = [](const QString &path) { return quotedPath(path); };
    if (!q.reportPath.isEmpty()) {
        claims.addFile(q.reportPath, QObject::tr("the report %1").arg(shown(q.reportPath)));
        claims.addFile(caseHtmlPath(q.reportPath), QObject::tr("the report's page %1").arg(shown(caseHtmlPath(q.reportPath))));
    }
    return claims.clash();
}

} // namespace

void CaseWindow::exportChosen()
{
    if (m_export)
        return;
    const QStringList names = chosenNames();
    if (!m_case || names.isEmpty()) {
        QMessageBox::information(this, tr("Export"), tr("Choose the recordings to export first: rows of the table, "
                                                        "bars of the timeline, or a time window (Shift+drag)."));
        return;
    }
    QSettings settings;
    ExportChoice choice;
    choice.folder = settings.value(QStringLiteral("export/folder")).toString();
    choice.sha256 = settings.value(QStringLiteral("export/sha256"), true).toBool();
    choice.mp4 = settings.value(QStringLiteral("export/mp4"), false).toBool();
    choice.report = settings.value(QStringLiteral("export/report"), false).toBool();
    choice.reportName = settings.value(QStringLiteral("export/reportName"), choice.reportName).toString();
    QString why;
    const bool video = videoModule(&why) != nullptr;
    uint64_t bytes = 0;
    for (const QString &n : names)
        bytes += static_cast<uint64_t>(m_case->listing.listing.recordings.value(n).clusters.size()) * kClusterBytes;
    ExportOptionsDialog options(choice, QStringLiteral("%1, %2").arg(countText(static_cast<uint64_t>(names.size()), "recording", "recordings"), byteSizeText(bytes)), video, this);
    if (options.exec() != QDialog::Accepted)
        return;
    choice = options.choice();
    settings.setValue(QStringLiteral("export/folder"), choice.folder);
    settings.setValue(QStringLiteral("export/sha256"), choice.sha256);
    settings.setValue(QStringLiteral("export/mp4"), choice.mp4);
    settings.setValue(QStringLiteral("export/report"), choice.report);
    settings.setValue(QStringLiteral("export/reportName"), choice.reportName);

    JobRequest request;
    request.source = m_case->source;
    request.listing = m_case->listing.listing;
    request.directoryDigest = m_case->listing.directoryDigest;
    for (const QString &n : names)
        request.entries.push_back({n, true});
    request.folder = QDir(choice.folder).absolutePath();
    request.sha256 = choice.sha256;
    request.mp4 = choice.mp4;
    if (choice.report)
        request.reportPath = QDir(request.folder).filePath(choice.reportName);
    request.caseDetails = m_info.details;
    // An offset worked out from a reading is the offset, as korvath-cli takes --clock-observed.
    if (m_info.clockOffset || m_info.clockObservation)
        request.clockOffset = m_info.offset();
    request.clockObservation = m_info.clockObservation;
    request.program = QStringLiteral("korvath-case");
    request.commandLine = QCoreApplication::arguments().join(QLatin1Char(' '));

    // Nothing lands on the source, or on another output of this export.
    const QString clash = outputClash(request);
    if (!clash.isEmpty()) {
        QMessageBox::warning(this, tr("Export"), tr("%1: nothing was written; choose another folder or report name.").arg(clash));
        return;
    }
    // Nothing is replaced without asking: the copies, and the report with its page.
    QStringList existing = existingOutputs(request);
    if (choice.report) {
        const QString page = caseHtmlPath(request.reportPath);
        for (const QString &f : {request.reportPath, page})
            if (QFileInfo::exists(f) || QFileInfo(f).isSymLink())
                existing << f;
    }
    if (!existing.isEmpty()) {
        QStringList shown;
        for (const QString &f : existing.mid(0, 10))
            shown << QDir(request.folder).relativeFilePath(f);
        if (existing.size() > 10)
            shown << tr("... and %1 more").arg(existing.size() - 10);
        if (QMessageBox::question(this, tr("Export"),
                                  tr("%1 already and would be replaced:")
                                          .arg(countText(static_cast<uint64_t>(existing.size()), "file exists", "files exist"))
                                      + QStringLiteral("\n\n") + shown.join(QLatin1Char('\n'))
                                      + QStringLiteral("\n\n") + tr("Replace them?"),
                                  QMessageBox::Yes | QMessageBox::No, QMessageBox::No)
            != QMessageBox::Yes)
            return;
    }

    const QString folder = request.folder;
    const QString reportPath = request.reportPath;
    m_export = new ExportProgressDialog(std::move(request), this);
    m_export->setWindowModality(Qt::WindowModal);
    action(QStringLiteral("export"))->setEnabled(false);
    connect(m_export, &ExportProgressDialog::finished, this, [this, folder, reportPath] {
        ExportProgressDialog *job = m_export;
        action(QStringLiteral("export"))->setEnabled(true);
        // The table's losses column: what each recording's read found.
        QHash<QString, QString> losses;
        for (const JobEvent &e : job->events()) {
            if (e.kind == JobEvent::FileWritten && !losses.contains(e.name))
                losses.insert(e.name, tr("none"));
            else if (e.kind == JobEvent::Problem && !e.name.isEmpty()
                     && (e.problem == JobProblem::Losses || e.problem == JobProblem::NotWritten
                         || e.problem == JobProblem::NotReached))
                losses.insert(e.name, e.text.startsWith(e.name + QStringLiteral(": ")) ? e.text.mid(e.name.size() + 2) : e.text);
        }
        m_model->addLosses(losses);
        auto *summary = new ExportSummaryDialog(folder, job->outcome(), job->events(), reportPath, this);
        summary->setAttribute(Qt::WA_DeleteOnClose);
        m_summary = summary;
        statusBar()->showMessage(job->outcome().summaryText());
        m_export.clear();
        job->deleteLater();
        summary->open();
        emit exportFinished();
    });
    m_export->open();
    m_export->start();
}

} // namespace korvath
