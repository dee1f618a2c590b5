// "Start export": copy the chosen recordings into the camera folder.
#include "korvath.h"

#include "export.h"
#include "log.h"
#include "ui_korvath.h"

#include <QDir>
#include <QFont>
#include <QMessageBox>
#include <QProgressDialog>
#include <memory>
#include <new>

void Korvath::on_readfile_pushButton_clicked()
{
    if (m_savePath.isEmpty()) {
        QMessageBox::warning(this, tr("Save path"), tr("The file path is empty. Please set path"));
        return;
    }

    std::vector<korvath::RecordingExport> problems;
    // The folder takes the channel the list was made for, as the file names do.
    const QString folder = korvath::cameraFolderPath(m_savePath, m_listedChannel);
    KLOG << "newDir" << folder;
    if (!QDir(folder).exists()) {
        KLOG << "Folder is created";
        const QString why = korvath::makeCameraFolder(folder);
        if (!why.isEmpty()) {
            korvath::RecordingExport failed;
            failed.name = QDir::toNativeSeparators(QDir::cleanPath(folder));
            failed.error = why;
            problems.push_back(failed);
        }
    }

    if (m_selectedFiles.isEmpty()) {
        QMessageBox::warning(this, tr("Fi;e list"), tr("No files to be recovered"));
        return;
    }

    std::vector<uint8_t> buffer;
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
    const bool folderMissing = !problems.empty();
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
        if (!m_selectedFiles.contains(it.key()))
            continue;
        const QString path = folder + QStringLiteral("//") + it.key();
        korvath::RecordingExport result;
        if (folderMissing) {
            result.name = it.key();
            result.error = QStringLiteral("not written, because its folder is missing");
        } else {
            result = korvath::exportRecording(reader, m_listedDataOffset, it.value(), path, buffer);
        }
        if (!result.written() || result.unreadableSectors)
            problems.push_back(result);
    }
    progress->close();
    progress.reset();
    buffer = {};

    if (!cancelled)
        m_selectedFiles.clear();

    if (!problems.empty()) {
        QString text = cancelled ? tr("The export was cancelled. ") : QString();
        text += tr("Some recordings could not be recovered completely:\n\n%1").arg(korvath::exportProblemsText(problems));
        QMessageBox::warning(this, tr("Export"), text);
    }
}
