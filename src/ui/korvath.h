// The program's one window; its slots are thin glue over the core library.
#pragma once

#include "drive.h"
#include "layout.h"
#include "listing.h"
#include "recordertime.h"
#include "scan.h"

#include <QMap>
#include <QString>
#include <QVector>
#include <QWidget>

class QDateTime;
class QModelIndex;
class QStandardItem;
class QStandardItemModel;

namespace Ui {
class Korvath;
}

class Korvath : public QWidget
{
    Q_OBJECT

public:
    explicit Korvath(QWidget *parent = nullptr);
    ~Korvath() override;

private slots:
    void on_searchdisk_pushButton_clicked();
    void on_channel_lineEdit_textChanged(const QString &arg1);
    void on_savepath_pushButton_clicked();
    void on_listfile_pushButton_clicked();
    void on_readfile_pushButton_clicked();
    void on_file_listView_clicked(const QModelIndex &index);
    void on_selectall_checkBox_stateChanged(int arg1);
    void on_disk_listView_clicked(const QModelIndex &index);
    void on_starttime_dateTimeEdit_dateTimeChanged(const QDateTime &dateTime);
    void on_endtime_dateTimeEdit_dateTimeChanged(const QDateTime &dateTime);
    void on_endtime_dateTimeEdit_editingFinished();

private:
    void fileItemChanged(QStandardItem *item);
    void syncSelectionWithChecks();
    void fillFileList();
    QString directoryLossText(const korvath::Listing &listing) const;

    Ui::Korvath *ui;
    korvath::DriveHandle m_diskHandle;
    QStandardItemModel *m_fileModel = nullptr;
    QStandardItemModel *m_diskModel = nullptr;
    korvath::VolumeInfo m_volumeInfo;
    korvath::RecorderTime m_startTime = 0;
    korvath::RecorderTime m_endTime = 0;
    uint32_t m_channel = 0;
    QString m_savePath;
    QMap<QString, korvath::DriveHandle> m_diskMap;
    bool m_diskChanged = true;
    int32_t m_curSelectItem = -1;
    QMap<QString, QVector<uint32_t>> m_fileMap;
    QVector<QString> m_selectedFiles;

    // What the listed recordings were found with, so that the export reads
    // the scanned disk and names the folder after the listed channel.
    korvath::Listing m_listing;
    korvath::DriveHandle m_listedHandle;
    // Every handle the disk list opened and has not closed yet.
    QVector<korvath::DriveHandle> m_openHandles;
    bool m_settingChecks = false; // true while many check marks are set at once
};
