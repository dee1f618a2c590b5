// The window's dialogs: a drive from the disk list, and the case's details
// with the recorder's clock.
#pragma once

#include "clock.h"
#include "dfxmlreport.h"

#include <QDialog>
#include <optional>

class QComboBox;
class QDateTimeEdit;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTreeWidget;

namespace korvath {

// What the report and every time shown take from the examiner.
struct CaseInfo {
    CaseDetails details;
    std::optional<qint64> clockOffset;                // given as an offset
    std::optional<ClockObservation> clockObservation; // or as one reading
    qint64 offset() const
    {
        return clockObservation ? clockObservation->offset() : clockOffset.value_or(0);
    }
};

// The drives that open (drives 0 to 15), listed off the GUI thread: a drive
// that hangs must not freeze the window. The choice is a drive number.
class DriveDialog : public QDialog
{
    Q_OBJECT
public:
    explicit DriveDialog(QWidget *parent = nullptr);
    QString chosenDrive() const; // the number as text; empty when none
    QTreeWidget *list() const { return m_list; }

public slots:
    void refresh();

signals:
    void listed(); // the list is filled

private:
    QTreeWidget *m_list;
    QPushButton *m_refresh;
    QLabel *m_state;
    int m_generation = 0;
};

class CaseDialog : public QDialog
{
    Q_OBJECT
public:
    explicit CaseDialog(const CaseInfo &info, QWidget *parent = nullptr);
    CaseInfo info() const { return m_info; }
    void accept() override;

private:
    bool read(CaseInfo *out, QString *error) const;
    void updateOffset();

    CaseInfo m_info;
    QLineEdit *m_case, *m_exhibit, *m_examiner;
    QPlainTextEdit *m_notes;
    QComboBox *m_clockKind;
    QLineEdit *m_offset;
    QDateTimeEdit *m_recorderTime, *m_trueTime;
    QLabel *m_offsetShown;
};

} // namespace korvath
