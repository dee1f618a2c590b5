// "Generate file list": read the directory and list the matching recordings.
#include "korvath.h"

#include "log.h"
#include "directory.h"
#include "listing.h"
#include "scan.h"
#include "ui_korvath.h"

#include <QMessageBox>
#include <QStandardItemModel>
#include <memory>

void Korvath::on_listfile_pushButton_clicked()
{
    if (m_curSelectItem == -1) {
        QMessageBox::information(this, tr("  Disk"), tr("No disk selected, select the disk according to the size"));
        return;
    }
    const auto source = std::make_shared<korvath::DriveSource>(m_diskHandle);
    if (m_diskChanged) {
        m_volumeInfo = korvath::computeVolumeInfo(*source);
        m_diskChanged = false;
    }

    korvath::DirectoryRead directory = korvath::readDirectory(*source, m_volumeInfo);
    m_fileMap.clear();
    m_listing = {};
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
    korvath::ScanQuery query;
    query.channel = m_channel;
    query.start = m_startTime;
    query.end = m_endTime;
    m_listing = korvath::scanListing(source, m_volumeInfo, directory, query);
    directory = {}; // the buffer is not needed past this point
    for (auto it = m_listing.recordings.cbegin(); it != m_listing.recordings.cend(); ++it)
        m_fileMap.insert(it.key(), it.value().clusters);
    m_listedHandle = m_diskHandle;

    fillFileList();
    const QString losses = directoryLossText(m_listing);
    if (!losses.isEmpty())
        QMessageBox::warning(this, tr("List"), losses);
    if (m_fileMap.isEmpty())
        QMessageBox::information(this, tr("List"),
                                 tr("There is no file list or disk data has been corrupted and unrecoverable. "
                                    "Confirm the parametr settings."));
}

QString Korvath::directoryLossText(const korvath::Listing &listing) const
{
    QStringList parts;
    if (!listing.sector0Read)
        parts << tr("Sector 0 could not be read, so the partition start and the place of the directory are unknown; "
                    "no recording was listed.");
    if (listing.directoryUnreadableOnSource() != 0)
        parts << tr("%1 of the directory's %2 sectors could not be read; recordings described there are missing "
                    "from the list.")
                     .arg(listing.directoryUnreadableOnSource())
                     .arg(listing.directorySectors);
    if (listing.scan.bounded)
        parts << tr("The directory links far more clusters than the disk holds, so it is damaged; the list stopped "
                    "after %1 clusters at record %2 and may be incomplete.")
                     .arg(listing.scan.clustersWalked)
                     .arg(listing.scan.stoppedAtRecord);
    // The list keeps one recording per name; the others are named here.
    constexpr size_t kShown = 3;
    for (size_t i = 0; i < listing.displaced.size() && i < kShown; ++i) {
        const korvath::Recording &r = listing.displaced[i];
        parts << tr("%1 names two recordings; the one from cluster %2 is listed, the one from cluster %3 is not "
                    "(the same channel and times, other clusters).")
                     .arg(r.name)
                     .arg(listing.recordings.value(r.name).recordIndex)
                     .arg(r.recordIndex);
    }
    if (listing.displaced.size() > kShown)
        parts << tr("%1 more recordings are not listed because a later recording has the same name.")
                     .arg(listing.displaced.size() - kShown);
    return parts.join(QStringLiteral("\n\n"));
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
