#include "exportdialog.h"

#include "recordingtable.h"

#include <QApplication>
#include <QCheckBox>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>

namespace korvath {

ExportOptionsDialog::ExportOptionsDialog(const ExportChoice &choice, const QString &what, bool videoAvailable,
                                         QWidget *parent)
    : QDialog(parent)
{
    setWindowTitle(tr("Export"));
    m_folder = new QLineEdit(choice.folder, this);
    m_folder->setObjectName(QStringLiteral("exportFolder"));
    auto *browse = new QPushButton(tr("&Browse..."), this);
    auto *folderRow = new QHBoxLayout;
    folderRow->addWidget(m_folder);
    folderRow->addWidget(browse);
    connect(browse, &QPushButton::clicked, this, [this] {
        const QString folder = QFileDialog::getExistingDirectory(this, tr("Export to"), m_folder->text());
        if (!folder.isEmpty())
            m_folder->setText(folder);
    });
    auto *native = new QCheckBox(tr("Native copies (.h264, byte for byte: the evidence)"), this);
    native->setChecked(true);
    native->setEnabled(false);
    m_sha256 = new QCheckBox(tr("&SHA-256 of every file"), this);
    m_sha256->setObjectName(QStringLiteral("sha256"));
    m_sha256->setChecked(choice.sha256);
    m_mp4 = new QCheckBox(tr("&Playable MP4 copies (derived, in CAM<n>/playable)"), this);
    m_mp4->setObjectName(QStringLiteral("mp4"));
    m_mp4->setChecked(choice.mp4 && videoAvailable);
    m_mp4->setEnabled(videoAvailable);
    if (!videoAvailable)
        m_mp4->setToolTip(tr("This build cannot load its video module."));
    m_report = new QCheckBox(tr("The case &report (DFXML and a page beside it):"), this);
    m_report->setObjectName(QStringLiteral("report"));
    m_report->setChecked(choice.report);
    m_reportName = new QLineEdit(choice.reportName, this);
    m_reportName->setObjectName(QStringLiteral("reportName"));
    m_reportName->setEnabled(choice.report);
    connect(m_report, &QCheckBox::toggled, m_reportName, &QWidget::setEnabled);
    auto *reportRow = new QHBoxLayout;
    reportRow->addWidget(m_report);
    reportRow->addWidget(m_reportName);

    auto *form = new QFormLayout;
    auto *folderLabel = new QLabel(tr("&Folder:"), this);
    folderLabel->setBuddy(m_folder);
    form->addRow(folderLabel, folderRow);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(what, this));
    layout->addLayout(form);
    layout->addWidget(native);
    layout->addWidget(m_sha256);
    layout->addWidget(m_mp4);
    layout->addLayout(reportRow);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setText(tr("&Export"));
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
}

ExportChoice ExportOptionsDialog::choice() const
{
    ExportChoice c;
    c.folder = m_folder->text().trimmed();
    c.sha256 = m_sha256->isChecked();
    c.mp4 = m_mp4->isChecked();
    c.report = m_report->isChecked();
    c.reportName = m_reportName->text().trimmed();
    return c;
}

void ExportOptionsDialog::accept()
{
    const ExportChoice c = choice();
    QString problem;
    if (c.folder.isEmpty())
        problem = tr("Choose a folder to export to.");
    else if (!QFileInfo(c.folder).isDir())
        problem = tr("%1 is not a folder.").arg(QDir::toNativeSeparators(c.folder));
    else if (c.report && (c.reportName.isEmpty() || !c.reportName.endsWith(QLatin1String(".xml"), Qt::CaseInsensitive)
                          || c.reportName.contains(QLatin1Char('/'))))
        problem = tr("The report's name is a file name ending in .xml.");
    if (!problem.isEmpty()) {
        QMessageBox::warning(this, tr("Export"), problem);
        return;
    }
    QDialog::accept();
}

ExportProgressDialog::ExportProgressDialog(JobRequest request, QWidget *parent) : QDialog(parent)
{
    setWindowTitle(tr("Exporting"));
    setObjectName(QStringLiteral("exportProgress"));
    m_folder = request.folder;
    for (const JobEntry &e : request.entries)
        m_files += e.selected ? 1 : 0;
    m_overall = new QProgressBar(this);
    m_file = new QProgressBar(this);
    m_overall->setObjectName(QStringLiteral("overall"));
    m_file->setObjectName(QStringLiteral("perFile"));
    for (QProgressBar *b : {m_overall, m_file})
        b->setRange(0, 1000);
    m_fileName = new QLabel(this);
    m_fileName->setObjectName(QStringLiteral("fileName"));
    m_rate = new QLabel(tr("Starting..."), this);
    m_rate->setObjectName(QStringLiteral("rate"));
    m_cancel = new QPushButton(tr("Cancel"), this);
    m_cancel->setObjectName(QStringLiteral("cancelExport"));
    connect(m_cancel, &QPushButton::clicked, this, &ExportProgressDialog::cancel);
    auto *form = new QFormLayout;
    form->addRow(tr("All:"), m_overall);
    form->addRow(m_fileName);
    form->addRow(tr("This file:"), m_file);
    form->addRow(m_rate);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(form);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_cancel);
    layout->addLayout(buttons);
    setMinimumWidth(520);

    // Events come on the job's thread, one at a time and in order; they are
    // handed to this dialog's thread in that order.
    QPointer<ExportProgressDialog> self(this);
    m_job = std::make_unique<CaseJob>(std::move(request), [self](const JobEvent &e) {
        QMetaObject::invokeMethod(qApp, [self, e] {
            if (self)
                self->take(e);
        }, Qt::QueuedConnection);
    });
}

ExportProgressDialog::~ExportProgressDialog()
{
    // Stopped after the cluster in hand and waited for, so that nothing is
    // left cut off; only the waiter waits on the job itself.
    if (m_job && !m_finished) {
        m_job->cancel(tr("closing the window"));
        if (m_waiter)
            m_waiter->wait();
    }
    m_job.reset();
}

void ExportProgressDialog::start()
{
    m_clock.start();
    m_job->start();
    // The end is told by a thread that only waits: the job has no event for it.
    CaseJob *job = m_job.get();
    QPointer<ExportProgressDialog> self(this);
    QThread *waiter = m_waiter = QThread::create([job, self] {
        job->wait();
        QMetaObject::invokeMethod(qApp, [self] {
            if (self)
                self->jobEnded();
        }, Qt::QueuedConnection);
    });
    connect(waiter, &QThread::finished, waiter, &QObject::deleteLater);
    waiter->start();
}

void ExportProgressDialog::cancel()
{
    if (m_finished)
        return;
    m_job->cancel(tr("the user (Cancel)"));
    m_cancel->setEnabled(false);
    m_cancel->setText(tr("Stopping..."));
    m_rate->setText(tr("Stopping after the cluster in hand..."));
}

void ExportProgressDialog::reject()
{
    if (m_finished)
        QDialog::reject();
    else
        cancel();
}

void ExportProgressDialog::take(const JobEvent &e)
{
    switch (e.kind) {
    case JobEvent::RecordingStarted:
        ++m_filesDone;
        m_fileStart = m_done;
        m_fileTotal = e.total;
        m_fileName->setText(tr("%1 of %2: %3").arg(m_filesDone).arg(m_files).arg(e.name));
        m_file->setValue(0);
        break;
    case JobEvent::Progress: {
        m_done = e.done;
        m_total = e.total;
        m_overall->setValue(m_total ? static_cast<int>(1000.0 * m_done / m_total) : 0);
        m_file->setValue(m_fileTotal ? static_cast<int>(std::min(1000.0, 1000.0 * (m_done - m_fileStart) / m_fileTotal)) : 0);
        const double seconds = m_clock.elapsed() / 1000.0;
        if (seconds > 0.2 && m_job && m_cancel->isEnabled()) {
            const double rate = m_done / seconds;
            const qint64 left = rate > 0 ? static_cast<qint64>((m_total - m_done) / rate) : -1;
            m_rate->setText(tr("%1 of %2 at %3/s, %4 left")
                                .arg(byteSizeText(m_done), byteSizeText(m_total),
                                     byteSizeText(static_cast<uint64_t>(rate)), durationText(left)));
        }
        break;
    }
    case JobEvent::FileWritten:
    case JobEvent::DerivedCopy:
    case JobEvent::Problem:
    case JobEvent::MapSummary:
        m_events << e;
        break;
    case JobEvent::EntryReached:
        break;
    }
}

void ExportProgressDialog::jobEnded()
{
    m_finished = true; // the waiter saw the job end and joined its thread
    emit finished();
    done(QDialog::Accepted);
}

ExportSummaryDialog::ExportSummaryDialog(const QString &folder, const JobOutcome &outcome,
                                         const QVector<JobEvent> &events, const QString &reportPath, QWidget *parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("exportSummary"));
    setWindowTitle(outcome.clean() ? tr("Export done") : outcome.cancelled ? tr("Export cancelled")
                                                                           : tr("Export done with losses"));
    auto *headline = new QLabel(this);
    headline->setObjectName(QStringLiteral("summaryText"));
    QString text = outcome.summaryText();
    if (!outcome.playableText().isEmpty())
        text += QStringLiteral("\n") + outcome.playableText();
    if (outcome.cancelled)
        text += QStringLiteral("\n") + tr("Stopped by %1; every file written is whole, the rest are named below.")
                                           .arg(outcome.cancelReason);
    headline->setText(text);
    headline->setTextInteractionFlags(Qt::TextSelectableByMouse);

    m_files = new QTreeWidget(this);
    m_files->setObjectName(QStringLiteral("summaryFiles"));
    m_files->setRootIsDecorated(false);
    m_files->setHeaderLabels({tr("File"), tr("SHA-256"), tr("Note")});
    m_files->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    m_problems = new QPlainTextEdit(this);
    m_problems->setObjectName(QStringLiteral("summaryProblems"));
    m_problems->setReadOnly(true);
    QStringList problems;
    for (const JobEvent &e : events) {
        if (e.kind == JobEvent::FileWritten)
            new QTreeWidgetItem(m_files, {e.shown, e.sha256, tr("native copy")});
        else if (e.kind == JobEvent::DerivedCopy)
            new QTreeWidgetItem(m_files, {QDir(folder).relativeFilePath(e.path), e.sha256, e.text});
        else if (e.kind == JobEvent::Problem || e.kind == JobEvent::MapSummary)
            problems << e.text;
    }
    if (!reportPath.isEmpty() && !outcome.reportLost) {
        const QString page = caseHtmlPath(reportPath);
        for (const QString &f : {reportPath, page})
            if (QFileInfo::exists(f))
                new QTreeWidgetItem(m_files, {QDir(folder).relativeFilePath(f), QString(), tr("case report")});
    }
    QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    for (int i = 0; i < m_files->topLevelItemCount(); ++i)
        m_files->topLevelItem(i)->setFont(1, mono);
    m_problems->setPlainText(problems.isEmpty() ? tr("Nothing was lost.") : problems.join(QLatin1Char('\n')));

    auto *openFolder = new QPushButton(tr("&Open the Folder"), this);
    openFolder->setObjectName(QStringLiteral("openFolder"));
    connect(openFolder, &QPushButton::clicked, this,
            [folder] { QDesktopServices::openUrl(QUrl::fromLocalFile(folder)); });
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    buttons->addButton(openFolder, QDialogButtonBox::ActionRole);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(headline);
    layout->addWidget(new QLabel(tr("Written to %1:").arg(QDir::toNativeSeparators(folder)), this));
    layout->addWidget(m_files, 2);
    layout->addWidget(new QLabel(tr("Losses and failures:"), this));
    layout->addWidget(m_problems, 1);
    layout->addWidget(buttons);
    resize(1250, 560);
}

} // namespace korvath
