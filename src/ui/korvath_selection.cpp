// Which listed recordings are chosen for export: exactly the checked rows.
#include "korvath.h"

#include "log.h"
#include "ui_korvath.h"

#include <QStandardItemModel>

void Korvath::on_file_listView_clicked(const QModelIndex &index)
{
    QStandardItem *item = m_fileModel->item(index.row(), 0);
    if (!item)
        return;
    // The click has already toggled the mark, on the box or on the text; the
    // choice followed it.
    KLOG << "item string" << item->text();
}

void Korvath::on_selectall_checkBox_stateChanged(int arg1)
{
    const int rows = m_fileModel->rowCount();
    m_settingChecks = true;
    if (arg1 == Qt::Unchecked) {
        for (int r = 0; r < rows; ++r)
            m_fileModel->item(r)->setData(Qt::Unchecked, Qt::CheckStateRole);
        m_settingChecks = false;
        m_selectedFiles.clear();
        return;
    }
    for (int r = 0; r < rows; ++r) {
        QStandardItem *item = m_fileModel->item(r);
        bool ok = false;
        if (item->data(Qt::CheckStateRole).toInt(&ok) != Qt::Checked || !ok)
            item->setData(Qt::Checked, Qt::CheckStateRole);
    }
    m_settingChecks = false;
    syncSelectionWithChecks();
}

void Korvath::fileItemChanged(QStandardItem *)
{
    if (!m_settingChecks)
        syncSelectionWithChecks();
}

void Korvath::syncSelectionWithChecks()
{
    m_selectedFiles.clear();
    const int rows = m_fileModel->rowCount();
    for (int r = 0; r < rows; ++r) {
        const QStandardItem *item = m_fileModel->item(r);
        if (item->checkState() == Qt::Checked)
            m_selectedFiles.append(item->text());
    }
}
