#include "korvath.h"

#include "ui_korvath.h"

#include <QDateTime>
#include <QMouseEvent>
#include <QStandardItemModel>
#include <QStyledItemDelegate>

namespace {

// A click on a file row's text chooses it just as a click on its box does:
// both toggle the mark, and the marks are what the export writes.
class RowClickToggles : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    bool editorEvent(QEvent *event, QAbstractItemModel *model, const QStyleOptionViewItem &option,
                     const QModelIndex &index) override
    {
        const Qt::ItemFlags flags = index.flags();
        if (event->type() == QEvent::MouseButtonRelease && static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton
            && (flags & Qt::ItemIsUserCheckable) && (flags & Qt::ItemIsEnabled)) {
            const bool checked = index.data(Qt::CheckStateRole).toInt() == Qt::Checked;
            return model->setData(index, checked ? Qt::Unchecked : Qt::Checked, Qt::CheckStateRole);
        }
        return QStyledItemDelegate::editorEvent(event, model, option, index);
    }
};

} // namespace

Korvath::Korvath(QWidget *parent) : QWidget(parent), ui(new Ui::Korvath)
{
    ui->setupUi(this);

    m_diskModel = new QStandardItemModel(ui->disk_listView);
    ui->disk_listView->setModel(m_diskModel);
    m_fileModel = new QStandardItemModel(ui->file_listView);
    ui->file_listView->setModel(m_fileModel);
    ui->file_listView->setItemDelegate(new RowClickToggles(ui->file_listView));
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
