// "Start export": copy the chosen recordings into the camera folder.
#include "korvath.h"

#include "casejob.h"
#include "log.h"
#include "outputfile.h"
#include "ui_korvath.h"

#include <QApplication>
#include <QDir>
#include <QFont>
#include <QMessageBox>
#include <QProgressDialog>
#include <QSet>
#include <QStandardItemModel>
#include <QElapsedTimer>
#include <QThread>
#include <QTimer>
#include <memory>

void Korvath::on_readfile_pushButton_clicked()
{
    if (m_savePath.isEmpty()) {
        QMessageBox::warning(this, tr("Save path"), tr("The file path is empty. Please set path"));
        return;
    }

    // Listed recordings go into the folder of the channel they were listed
    // for, as their file names say; with nothing listed the field decides.
    const uint32_t channel = m_fileMap.isEmpty() ? m_channel : m_listing.query.channel;
    const QString folder = korvath::cameraFolderPath(m_savePath, channel);
    KLOG << "newDir" << folder;
    // Whether it could be made is told by the warning at the end, per recording.
    if (!QDir(folder).exists()) {
        korvath::makeOutputFolder(folder);
        KLOG << "Folder is created";
    }

    if (m_selectedFiles.isEmpty()) {
        QMessageBox::warning(this, tr("Fi;e list"), tr("No files to be recovered"));
        return;
    }

    const int total = m_fileMap.size();
    // Owned here and closed on every way out, so that no dialog is left behind.
    std::unique_ptr<QProgressDialog> progress(new QProgressDialog(this));
    progress->setFont(QFont(QStringLiteral("ZYSong18030"), 12));
    progress->setWindowModality(Qt::WindowModal);
    progress->setMinimumDuration(5);
    progress->setWindowTitle(tr("Wait"));
    progress->setLabelText(tr("Reading... "));
    progress->setCancelButtonText(tr("Cancel"));
    progress->setRange(0, total);
    KLOG << "size++++++++:" << total;

    const QSet<QString> chosen(m_selectedFiles.cbegin(), m_selectedFiles.cend());
    QList<korvath::ExportEntry> entries;
    for (const korvath::Recording &r : qAsConst(m_listing.recordings))
        entries.append({&r, chosen.contains(r.name)});

    korvath::JobRequest request;
    request.source.source = std::make_shared<korvath::DriveSource>(m_listedHandle);
    request.listing = m_listing;
    for (const korvath::Recording &r : qAsConst(m_listing.recordings))
        request.entries.append({r.name, chosen.contains(r.name)});
    request.folder = m_savePath;

    // The copy runs on the job's thread. At each entry and after each cluster
    // it waits for the window to show progress and hear Cancel, as a copy on
    // this thread would; Cancel is heard as well while a read hangs. Input
    // reaches the window only through the dialog: once the dialog has hidden
    // itself (or before it shows) the window's own controls wait until the
    // export is over, as they would behind the shown dialog.
    int v = 0;
    QObject events; // where the job's calls land, on this thread
    korvath::CaseJob *running = nullptr;
    QElapsedTimer quiet; // since the job last called: long only while a read hangs
    quiet.start();
    const auto heard = [&] {
        quiet.restart();
        if (progress->wasCanceled())
            running->cancel();
    };
    korvath::CaseJob job(std::move(request), [&](const korvath::JobEvent &e) {
        std::function<void()> show;
        if (e.kind == korvath::JobEvent::EntryReached)
            show = [&] {
                progress->setValue(v);
                KLOG << "index++++++++:" << v;
                v = (total == v + 2) ? v + 2 : v + 1;
                heard();
            };
        else if (e.kind == korvath::JobEvent::Progress)
            show = [&] {
                QApplication::processEvents(progress->isVisible() ? QEventLoop::AllEvents
                                                                  : QEventLoop::ExcludeUserInputEvents);
                heard();
            };
        else
            return;
        QMetaObject::invokeMethod(&events, show,
                                  QThread::currentThread() == events.thread() ? Qt::DirectConnection
                                                                              : Qt::BlockingQueuedConnection);
    });
    running = &job;
    QTimer wake; // the loop below looks at the job and the dialog at least this often
    wake.start(25);
    job.start();
    // Between the job's calls the dialog stays painted; a Cancel is given to
    // the job at its next call, or here when a read keeps it from calling.
    while (!job.wait(0)) {
        QApplication::processEvents((progress->isVisible() ? QEventLoop::AllEvents : QEventLoop::ExcludeUserInputEvents)
                                    | QEventLoop::WaitForMoreEvents);
        if (progress->wasCanceled() && quiet.elapsed() >= 250)
            job.cancel();
    }
    const korvath::ExportOutcome &outcome = job.outcome().exported;
    progress->close();
    progress.reset();

    QSet<QString> written;
    for (const korvath::RecordingExport &r : outcome.results)
        if (r.written())
            written.insert(r.name);
    if (!outcome.cancelled) {
        // Done rows lose their mark; rows that failed stay chosen for another try.
        m_settingChecks = true;
        for (int r = 0; r < m_fileModel->rowCount(); ++r) {
            QStandardItem *item = m_fileModel->item(r);
            if (written.contains(item->text()))
                item->setData(Qt::Unchecked, Qt::CheckStateRole);
        }
        m_settingChecks = false;
        syncSelectionWithChecks();
    }

    const QString problems = korvath::exportProblemsText(outcome);
    if (!problems.isEmpty()) {
        QString text = outcome.cancelled
                           ? tr("The export was cancelled; the recordings after that point were not written.\n\n")
                           : QString();
        text += problems;
        QMessageBox::warning(this, tr("Export"), text);
    }
}
