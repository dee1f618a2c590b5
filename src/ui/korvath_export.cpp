// "Start export": copy the chosen recordings into the camera folder.
#include "korvath.h"

#include "export.h"
#include "log.h"
#include "ui_korvath.h"

#include <QDir>
#include <QFont>
#include <QMessageBox>
#include <QProgressDialog>
#include <QSet>
#include <QSignalBlocker>
#include <QStandardItemModel>
#include <memory>
#include <new>

void Korvath::on_readfile_pushButton_clicked()
{
    if (m_savePath.isEmpty()) {
        QMessageBox::warning(this, tr("Save path"), tr("The file path is empty. Please set path"));
        return;
    }

    korvath::ExportReport report;
    // Listed recordings go into the folder of the channel they were listed
    // for, as their file names say; with nothing listed the field decides.
    const uint32_t channel = m_fileMap.isEmpty() ? m_channel : m_listedChannel;
    const QString folder = korvath::cameraFolderPath(m_savePath, channel);
    report.folder = folder;
    KLOG << "newDir" << folder;
    if (!QDir(folder).exists()) {
        report.folderProblem = korvath::makeCameraFolder(folder);
        if (report.folderProblem.isEmpty())
            KLOG << "Folder is created";
    }

    if (m_selectedFiles.isEmpty()) {
        QMessageBox::warning(this, tr("Fi;e list"), tr("No files to be recovered"));
        return;
    }

    korvath::IoBytes buffer;
    try {
        buffer.assign(korvath::kClusterBytes, 0);
    } catch (const std::bad_alloc &) {
        QMessageBox::warning(this, tr("Export"), tr("Not enough memory for the 2 MiB transfer buffer; nothing was exported."));
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

    const korvath::SectorReader reader = korvath::driveSectorReader(m_listedHandle);
    QSet<QString> chosen;
    for (const QString &name : qAsConst(m_selectedFiles))
        chosen.insert(name);
    QSet<QString> written;
    bool cancelled = false;
    int v = 0;
    for (auto it = m_fileMap.cbegin(); it != m_fileMap.cend(); ++it) {
        progress->setValue(v);
        KLOG << "index++++++++:" << v;
        v = (total == v + 2) ? v + 2 : v + 1;
        if (progress->wasCanceled()) {
            cancelled = true;
            break;
        }
        if (!chosen.contains(it.key()))
            continue;
        if (!report.folderProblem.isEmpty()) {
            report.skippedForFolder << it.key();
            continue;
        }
        const QString path = folder + QStringLiteral("//") + it.key();
        korvath::RecordingExport result =
            korvath::exportRecording(reader, m_listedDataOffset, it.value(), path, buffer);
        if (result.written())
            written.insert(it.key());
        if (!result.complete())
            report.recordings.push_back(std::move(result));
    }
    progress->close();
    progress.reset();
    buffer = {};

    if (!cancelled) {
        // Done rows lose their mark; rows that failed stay chosen for another try.
        m_settingChecks = true;
        for (int r = 0; r < m_fileModel->rowCount(); ++r) {
            QStandardItem *item = m_fileModel->item(r);
            if (written.contains(item->text()))
                item->setData(Qt::Unchecked, Qt::CheckStateRole);
        }
        m_settingChecks = false;
        if (!written.isEmpty()) {
            const QSignalBlocker keepFailedRows(ui->selectall_checkBox);
            ui->selectall_checkBox->setChecked(false);
        }
        syncSelectionWithChecks();
    }

    if (!report.empty()) {
        QString text = cancelled ? tr("The export was cancelled; the recordings after that point were not written.\n\n")
                                 : QString();
        text += korvath::exportProblemsText(report);
        QMessageBox::warning(this, tr("Export"), text);
    }
}
