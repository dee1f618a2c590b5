#include "casedialogs.h"

#include "counttext.h"
#include "disklist.h"
#include "driveidentity.h"
#include "recordingtable.h"

#include <QApplication>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QStackedWidget>
#include <QThread>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace korvath {

namespace {

struct DriveRow {
    int number;
    QString device, model, serial;
    uint64_t bytes;
    bool recorder;
};

QVector<DriveRow> listDrives()
{
    QVector<DriveRow> rows;
    for (const DiscoveredDrive &d : discoverDrives()) {
        const DriveIdentity id = driveIdentity(d.path);
        QString model = id.model;
        if (!id.vendor.isEmpty() && !model.startsWith(id.vendor))
            model = id.vendor + QLatin1Char(' ') + model;
        if (model.isEmpty() && !id.backingFile.isEmpty())
            model = QObject::tr("backed by %1").arg(id.backingFile);
        rows.push_back({d.number, d.path, model, id.serial, static_cast<uint64_t>(d.sectors) * 512, d.recorder});
        closeDrive(d.handle); // opened again, read-only, when chosen
    }
    return rows;
}

} // namespace

DriveDialog::DriveDialog(QWidget *parent) : QDialog(parent)
{
    setWindowTitle(tr("Open Drive"));
    m_list = new QTreeWidget(this);
    m_list->setObjectName(QStringLiteral("drives"));
    m_list->setRootIsDecorated(false);
    m_list->setHeaderLabels({tr("Drive"), tr("Size"), tr("Model"), tr("Serial"), tr("Recorder disk"), tr("Device")});
    m_list->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    m_state = new QLabel(this);
    m_refresh = new QPushButton(tr("&Refresh"), this);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Open | QDialogButtonBox::Cancel, this);
    buttons->addButton(m_refresh, QDialogButtonBox::ActionRole);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(tr("Drives are opened read-only. Raw drives need root or the disk group."), this));
    layout->addWidget(m_list);
    layout->addWidget(m_state);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(m_refresh, &QPushButton::clicked, this, &DriveDialog::refresh);
    connect(m_list, &QTreeWidget::itemDoubleClicked, this, &QDialog::accept);
    resize(720, 320);
    refresh();
}

void DriveDialog::refresh()
{
    m_refresh->setEnabled(false);
    m_state->setText(tr("Looking for drives..."));
    const int generation = ++m_generation;
    QPointer<DriveDialog> self(this);
    QThread *thread = QThread::create([self, generation] {
        const QVector<DriveRow> rows = listDrives();
        QMetaObject::invokeMethod(qApp, [self, generation, rows] {
            if (!self || generation != self->m_generation)
                return;
            self->m_list->clear();
            for (const DriveRow &r : rows) {
                auto *item = new QTreeWidgetItem(self->m_list, QStringList{QString::number(r.number), byteSizeText(r.bytes),
                                                                      r.model, r.serial,
                                                                      r.recorder ? tr("recorder disk") : tr("no"), r.device});
                item->setData(0, Qt::UserRole, r.number);
            }
            if (self->m_list->topLevelItemCount() > 0)
                self->m_list->setCurrentItem(self->m_list->topLevelItem(0));
            self->m_state->setText(rows.isEmpty() ? tr("No drive opens (raw drives need root or the disk group).")
                                                  : countText(static_cast<uint64_t>(rows.size()), "drive", "drives"));
            self->m_refresh->setEnabled(true);
            emit self->listed();
        }, Qt::QueuedConnection);
    });
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    thread->start();
}

QString DriveDialog::chosenDrive() const
{
    const QTreeWidgetItem *item = m_list->currentItem();
    return item ? QString::number(item->data(0, Qt::UserRole).toInt()) : QString();
}

CaseDialog::CaseDialog(const CaseInfo &info, QWidget *parent) : QDialog(parent), m_info(info)
{
    setWindowTitle(tr("Case Details"));
    m_case = new QLineEdit(info.details.caseNumber, this);
    m_exhibit = new QLineEdit(info.details.exhibit, this);
    m_examiner = new QLineEdit(info.details.examiner, this);
    m_notes = new QPlainTextEdit(info.details.notes.join(QLatin1Char('\n')), this);
    m_notes->setTabChangesFocus(true);
    m_notes->setPlaceholderText(tr("One note a line"));
    m_case->setObjectName(QStringLiteral("caseNumber"));
    m_exhibit->setObjectName(QStringLiteral("exhibit"));
    m_examiner->setObjectName(QStringLiteral("examiner"));
    m_notes->setObjectName(QStringLiteral("notes"));

    m_clockKind = new QComboBox(this);
    m_clockKind->setObjectName(QStringLiteral("clockKind"));
    m_clockKind->addItems({tr("The recorder's clock was right"), tr("An offset (recorder minus true time)"),
                           tr("One reading: what the recorder showed, and the true time")});
    m_offset = new QLineEdit(this);
    m_offset->setObjectName(QStringLiteral("clockOffset"));
    m_offset->setPlaceholderText(QStringLiteral("+00:03:12"));
    const QString format = QStringLiteral("yyyy-MM-dd HH:mm:ss");
    m_recorderTime = new QDateTimeEdit(this);
    m_trueTime = new QDateTimeEdit(this);
    m_recorderTime->setObjectName(QStringLiteral("recorderTime"));
    m_trueTime->setObjectName(QStringLiteral("trueTime"));
    for (QDateTimeEdit *e : {m_recorderTime, m_trueTime}) {
        e->setDisplayFormat(format);
        e->setTimeSpec(Qt::UTC);
        e->setDateTimeRange(QDateTime(QDate(2000, 1, 1), QTime(0, 0), Qt::UTC),
                            QDateTime(QDate(2063, 12, 31), QTime(23, 59, 59), Qt::UTC));
        e->setDateTime(QDateTime::currentDateTimeUtc());
    }
    m_offsetShown = new QLabel(this);
    m_offsetShown->setObjectName(QStringLiteral("offsetShown"));

    if (info.clockObservation) {
        m_clockKind->setCurrentIndex(2);
        m_recorderTime->setDateTime(QDateTime(QDate(2000, 1, 1), QTime(0, 0), Qt::UTC).addSecs(info.clockObservation->recorder));
        m_trueTime->setDateTime(QDateTime(QDate(2000, 1, 1), QTime(0, 0), Qt::UTC).addSecs(info.clockObservation->trueTime));
    } else if (info.clockOffset) {
        m_clockKind->setCurrentIndex(1);
        m_offset->setText(clockOffsetText(*info.clockOffset));
    }

    auto *stack = new QStackedWidget(this);
    stack->addWidget(new QWidget(stack));
    auto *offsetPage = new QWidget(stack);
    auto *offsetForm = new QFormLayout(offsetPage);
    offsetForm->addRow(tr("&Offset:"), m_offset);
    stack->addWidget(offsetPage);
    auto *pairPage = new QWidget(stack);
    auto *pairForm = new QFormLayout(pairPage);
    pairForm->addRow(tr("The &recorder showed:"), m_recorderTime);
    pairForm->addRow(tr("The &true time was:"), m_trueTime);
    stack->addWidget(pairPage);
    stack->setCurrentIndex(m_clockKind->currentIndex());
    connect(m_clockKind, qOverload<int>(&QComboBox::currentIndexChanged), stack, &QStackedWidget::setCurrentIndex);
    connect(m_clockKind, qOverload<int>(&QComboBox::currentIndexChanged), this, &CaseDialog::updateOffset);
    connect(m_offset, &QLineEdit::textChanged, this, &CaseDialog::updateOffset);
    connect(m_recorderTime, &QDateTimeEdit::dateTimeChanged, this, &CaseDialog::updateOffset);
    connect(m_trueTime, &QDateTimeEdit::dateTimeChanged, this, &CaseDialog::updateOffset);

    auto *form = new QFormLayout;
    form->addRow(tr("&Case number:"), m_case);
    form->addRow(tr("&Exhibit:"), m_exhibit);
    form->addRow(tr("E&xaminer:"), m_examiner);
    form->addRow(tr("&Notes:"), m_notes);
    form->addRow(tr("Recorder's c&lock:"), m_clockKind);
    form->addRow(QString(), stack);
    form->addRow(tr("Clock offset:"), m_offsetShown);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(buttons);
    updateOffset();
}

bool CaseDialog::read(CaseInfo *out, QString *error) const
{
    CaseInfo info;
    info.details.caseNumber = m_case->text().trimmed();
    info.details.exhibit = m_exhibit->text().trimmed();
    info.details.examiner = m_examiner->text().trimmed();
    for (const QString &line : m_notes->toPlainText().split(QLatin1Char('\n')))
        if (!line.trimmed().isEmpty())
            info.details.notes << line.trimmed();
    if (m_clockKind->currentIndex() == 1) {
        qint64 seconds = 0;
        if (!parseClockOffset(m_offset->text().trimmed(), &seconds, error))
            return false;
        info.clockOffset = seconds;
    } else if (m_clockKind->currentIndex() == 2) {
        // The library reads the pair as korvath-cli reads --clock-observed.
        const QString format = QStringLiteral("yyyy-MM-dd HH:mm:ss");
        ClockObservation observation;
        if (!parseClockObservation(m_recorderTime->dateTime().toString(format) + QLatin1Char('=')
                                       + m_trueTime->dateTime().toString(format),
                                   &observation, error))
            return false;
        info.clockObservation = observation;
    }
    *out = info;
    return true;
}

void CaseDialog::updateOffset()
{
    CaseInfo info;
    QString error;
    m_offsetShown->setText(read(&info, &error) ? clockOffsetText(info.offset()) : error);
}

void CaseDialog::accept()
{
    QString error;
    if (!read(&m_info, &error)) {
        QMessageBox::warning(this, tr("Case Details"), tr("The recorder's clock: %1").arg(error));
        return;
    }
    QDialog::accept();
}

} // namespace korvath
