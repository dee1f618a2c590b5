// The export of the chosen recordings: what to write and where, the job's
// progress while it runs on its own thread, and what was written at the end.
#pragma once

#include "casejob.h"

#include <QDialog>
#include <QElapsedTimer>
#include <QPointer>
#include <QThread>
#include <memory>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTreeWidget;

namespace korvath {

struct ExportChoice {
    QString folder;
    bool sha256 = true;
    bool mp4 = false;
    bool report = false;
    QString reportName = QStringLiteral("case.xml"); // in the folder
};

class ExportOptionsDialog : public QDialog
{
    Q_OBJECT
public:
    ExportOptionsDialog(const ExportChoice &choice, const QString &what, bool videoAvailable, QWidget *parent = nullptr);
    ExportChoice choice() const;
    void accept() override;

private:
    QLineEdit *m_folder, *m_reportName;
    QCheckBox *m_sha256, *m_mp4, *m_report;
};

// Runs a job and shows it: overall and per-file progress, rate and time
// left, Cancel. Finished: `finished` with the outcome and every event that
// names a file or a loss.
class ExportProgressDialog : public QDialog
{
    Q_OBJECT
public:
    ExportProgressDialog(JobRequest request, QWidget *parent = nullptr);
    ~ExportProgressDialog() override;
    void start();
    bool running() const { return m_job && !m_finished; }
    void cancel();
    const JobOutcome &outcome() const { return m_job->outcome(); }
    const QVector<JobEvent> &events() const { return m_events; } // files written, derived copies, problems

signals:
    void finished(); // the job has ended; outcome() holds

protected:
    void reject() override; // Escape and the close button cancel

private:
    void take(const JobEvent &e);
    void jobEnded();

    std::unique_ptr<CaseJob> m_job;
    QPointer<QThread> m_waiter; // the one thread that waits for the job
    QString m_folder;
    QVector<JobEvent> m_events;
    QProgressBar *m_overall, *m_file;
    QLabel *m_fileName, *m_rate;
    QPushButton *m_cancel;
    QElapsedTimer m_clock;
    uint64_t m_fileStart = 0, m_fileTotal = 0, m_done = 0, m_total = 0;
    int m_files = 0, m_filesDone = 0;
    bool m_finished = false;
};

// What the export wrote, every loss named, the hashes, and the folder.
class ExportSummaryDialog : public QDialog
{
    Q_OBJECT
public:
    ExportSummaryDialog(const QString &folder, const JobOutcome &outcome, const QVector<JobEvent> &events,
                        const QString &reportPath, QWidget *parent = nullptr);
    QTreeWidget *files() const { return m_files; }
    QPlainTextEdit *problems() const { return m_problems; }

private:
    QTreeWidget *m_files;
    QPlainTextEdit *m_problems;
};

} // namespace korvath
