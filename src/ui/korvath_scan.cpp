// "Generate file list": read the directory and list the matching recordings.
#include "korvath.h"

#include "log.h"
#include "scan.h"
#include "ui_korvath.h"

#include <QMessageBox>
#include <QStandardItemModel>

void Korvath::on_listfile_pushButton_clicked()
{
    if (m_curSelectItem == -1) {
        QMessageBox::information(this, tr("  Disk"), tr("No disk selected, select the disk according to the size"));
        return;
    }
    if (m_diskChanged) {
        m_volumeInfo = korvath::computeVolumeInfo(m_diskHandle);
        m_diskChanged = false;
    }

    korvath::DirectoryRead directory = korvath::readDirectory(m_diskHandle, m_volumeInfo);
    m_fileMap.clear();
    if (ui->selectall_checkBox->isChecked())
        ui->selectall_checkBox->setCheckState(Qt::Unchecked);

    if (!directory.allocated) {
        fillFileList();
        QMessageBox::warning(this, tr("List"),
                             tr("The directory of %1 sectors could not be read: not enough memory.")
                                 .arg(m_volumeInfo.dir_size));
        return;
    }
    if (m_channel > 128u || ui->channel_lineEdit->text().isEmpty()) {
        // Rows left on screen would name recordings that nothing can export.
        fillFileList();
        QMessageBox::warning(this, tr("   Ch."), tr("The channel number is incorrect"));
        return;
    }

    KLOG << "first way";
    const korvath::ScanQuery query{m_channel, m_startTime, m_endTime};
    const korvath::RecordingMap found =
        korvath::scanDirectory(directory.bytes.data(), directory.bytes.size(), m_volumeInfo, query);
    directory = {}; // the buffer is not needed past this point
    for (auto it = found.cbegin(); it != found.cend(); ++it)
        m_fileMap.insert(it.key(), it.value().clusters);
    m_listedHandle = m_diskHandle;
    m_listedDataOffset = m_volumeInfo.data_offset;
    m_listedChannel = m_channel;

    fillFileList();
    if (m_fileMap.isEmpty())
        QMessageBox::information(this, tr("List"),
                                 tr("There is no file list or disk data has been corrupted and unrecoverable. "
                                    "Confirm the parametr settings."));
}

void Korvath::fillFileList()
{
    m_fileModel->removeRows(0, m_fileModel->rowCount());
    QList<QStandardItem *> items;
    items.reserve(m_fileMap.size());
    for (auto it = m_fileMap.cbegin(); it != m_fileMap.cend(); ++it) {
        auto *item = new QStandardItem(it.key());
        item->setCheckable(true);
        item->setEditable(false);
        items.append(item);
    }
    // One insertion for all rows: the view lays out once, not once per row.
    // Every row is one line of one font, so the view measures one row, not
    // each of them: measuring was most of a 50,000-row list.
    ui->file_listView->setUniformItemSizes(true);
    if (!items.isEmpty())
        m_fileModel->invisibleRootItem()->appendRows(items);
    syncSelectionWithChecks();
}
