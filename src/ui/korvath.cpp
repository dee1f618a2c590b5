#include "korvath.h"

#include "ui_korvath.h"

#include <QDateTime>
#include <QStandardItemModel>

Korvath::Korvath(QWidget *parent) : QWidget(parent), ui(new Ui::Korvath)
{
    ui->setupUi(this);

    m_diskModel = new QStandardItemModel(ui->disk_listView);
    ui->disk_listView->setModel(m_diskModel);
    m_fileModel = new QStandardItemModel(ui->file_listView);
    ui->file_listView->setModel(m_fileModel);
    // Check marks set from the keyboard or by a click on the box both land here.
    connect(m_fileModel, &QStandardItemModel::itemChanged, this, &Korvath::fileItemChanged);

    m_curSelectItem = -1;
    m_diskChanged = true;
    m_channel = 0;

    // The locale's default format may hide the seconds, which still take
    // part in the search: show the range exactly as it is searched.
    const QString format = QStringLiteral("yyyy-MM-dd HH:mm:ss");
    ui->starttime_dateTimeEdit->setDisplayFormat(format);
    ui->endtime_dateTimeEdit->setDisplayFormat(format);

    const QDateTime now = QDateTime::currentDateTime();
    ui->starttime_dateTimeEdit->setDateTime(now);
    ui->endtime_dateTimeEdit->setDateTime(now);

    on_searchdisk_pushButton_clicked();
}

Korvath::~Korvath()
{
    delete ui;
}
