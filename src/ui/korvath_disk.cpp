// The disk list: discovery on "Refresh Disk" and the choice of one disk.
#include "korvath.h"

#include "disklist.h"
#include "log.h"
#include "ui_korvath.h"

#include <QStandardItemModel>

void Korvath::on_searchdisk_pushButton_clicked()
{
    const QVector<korvath::DriveHandle> previous = m_openHandles;
    m_openHandles.clear();
    m_diskMap.clear();
    m_diskModel->removeRows(0, m_diskModel->rowCount());
    for (int32_t n = 0; n <= korvath::kMaxDriveNumber; ++n) {
        const korvath::DiscoveredDrive drive = korvath::probeDrive(n);
        if (!drive.handle.isValid())
            continue;
        const QString text = korvath::diskRowText(drive.number, drive.gigabytes, drive.recorder);
        auto *item = new QStandardItem(text);
        item->setCheckable(true);
        // Editing a row's text in place would cut it off from its drive.
        item->setEditable(false);
        m_diskModel->appendRow(item);
        m_diskMap.insert(text, drive.handle);
        m_openHandles.append(drive.handle);
    }
    // The chosen disk and the one the file list was made from stay readable;
    // every other handle of the last refresh is released, or each refresh
    // would hold all drives open once more.
    for (const korvath::DriveHandle &h : previous) {
        if (h == m_diskHandle || h == m_listedHandle)
            m_openHandles.append(h);
        else
            korvath::closeDrive(h);
    }
}

void Korvath::on_disk_listView_clicked(const QModelIndex &index)
{
    if (!index.isValid())
        return;
    const int count = m_diskModel->rowCount();
    KLOG << "count:" << count;
    const int row = index.row();
    KLOG << "row:" << row << " m_curSelectItem:" << m_curSelectItem;
    if (row == m_curSelectItem) {
        m_diskModel->item(row)->setData(Qt::Unchecked, Qt::CheckStateRole);
        m_curSelectItem = -1;
        return;
    }
    for (int i = 0; i < count; ++i) {
        KLOG << "i=" << i;
        QStandardItem *item = m_diskModel->item(i);
        if (i == row) {
            item->setData(Qt::Checked, Qt::CheckStateRole);
            m_curSelectItem = row;
            const QString text = item->data(Qt::DisplayRole).toString();
            m_diskHandle = m_diskMap[text];
            m_diskChanged = true;
        } else {
            item->setData(Qt::Unchecked, Qt::CheckStateRole);
        }
    }
}
