// Search settings: channel, time range and save directory.
#include "korvath.h"

#include "log.h"
#include "ui_korvath.h"

#include <QDateTime>
#include <QFileDialog>
#include <QMessageBox>
#include <QSignalBlocker>

void Korvath::on_channel_lineEdit_textChanged(const QString &arg1)
{
    m_channel = arg1.toUInt(nullptr, 10) - 1u;
    KLOG << "m_channel:" << static_cast<int32_t>(m_channel);
}

void Korvath::on_savepath_pushButton_clicked()
{
    m_savePath = QFileDialog::getExistingDirectory(this, QString(), QString(), QFileDialog::ShowDirsOnly);
    ui->savepath_lineEdit->setText(m_savePath);
    KLOG << "savepath:" << m_savePath;
}

void Korvath::on_starttime_dateTimeEdit_dateTimeChanged(const QDateTime &dateTime)
{
    m_startTime = korvath::toRecorderTime(dateTime);
    KLOG << "stime:" << korvath::recorderTimeText(m_startTime);
}

void Korvath::on_endtime_dateTimeEdit_dateTimeChanged(const QDateTime &dateTime)
{
    m_endTime = korvath::toRecorderTime(dateTime);
    KLOG << " endtime:" << korvath::recorderTimeText(m_endTime);
}

void Korvath::on_endtime_dateTimeEdit_editingFinished()
{
    if (m_startTime > m_endTime) {
        // The box takes the focus from the edit, which would finish its
        // editing a second time and stack a second, identical warning.
        const QSignalBlocker blocker(ui->endtime_dateTimeEdit);
        QMessageBox::warning(this, tr("Time set error"), tr("Start time later then the end"));
    }
}
