// korvath-case: the examiner's window over the case layer. It opens a source
// read-only, lists every channel at once off the GUI thread, shows the
// recordings in a timeline and a table, previews the chosen one and exports
// the chosen ones with hashes, playable copies and the case report. It adds
// no recovery of its own: everything goes through src/case.
#pragma once

#include "casedialogs.h"
#include "casesource.h"
#include "exportdialog.h"

#include <QMainWindow>
#include <QPointer>
#include <QSet>
#include <atomic>
#include <memory>

class QAction;
class QCheckBox;
class QComboBox;
class QDateTimeEdit;
class QLabel;
class QProgressBar;
class QScrollArea;
class QSplitter;
class QTableView;
class QThread;

namespace korvath {

class RecordingFilter;
class RecordingModel;
class Timeline;

// What a scan gave: the source, its listing, and what to tell the user.
struct OpenedCase {
    CaseSource source;
    CaseListing listing;
    QString error;
    QStringList notes;
};

class CaseWindow : public QMainWindow
{
    Q_OBJECT
public:
    explicit CaseWindow(QWidget *parent = nullptr);
    ~CaseWindow() override;

    // Opens a drive number, a block device or an image file and lists it,
    // off the GUI thread; `opened` follows.
    void openSource(const QString &given);
    bool busy() const { return m_scanning; }
    const OpenedCase *current() const { return m_case.get(); }
    CaseInfo caseInfo() const { return m_info; }
    void setCaseInfo(const CaseInfo &info);

    // The names of the chosen recordings, in the order they are exported.
    QStringList chosenNames() const;
    // Chooses every shown recording that touches the true-time window.
    void chooseWindow(qint64 from, qint64 to);
    void clearWindow();

    RecordingModel *model() const { return m_model; }
    RecordingFilter *filter() const { return m_filter; }
    QTableView *table() const { return m_table; }
    Timeline *timeline() const { return m_timeline; }
    QLabel *identity() const { return m_identity; }
    QLabel *previewPicture() const { return m_preview; }
    QLabel *previewState() const { return m_previewState; }
    QAction *action(const QString &name) const;
    ExportProgressDialog *exportProgress() const { return m_export; }
    ExportSummaryDialog *exportSummary() const { return m_summary; }

signals:
    void scanFinished();   // the scan's result is back on the window's thread
    void opened(bool ok);  // and shown
    void previewShown(const QString &name, bool ok);
    void exportFinished();

public slots:
    void openDrive();
    void openImage();
    void editCase();
    void exportChosen();
    void about();

protected:
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void buildMenus();
    void buildCentre();
    void showOpened(std::shared_ptr<OpenedCase> opened);
    void applyChannelFilter();
    void applyTimeFilter();
    void syncChosen();
    void startPreview();
    void fitPreview();
    void updateStatus();
    void updateIdentity();
    QThread *runOffThread(std::function<void()> work);
    void restoreSettings();
    void saveSettings() const;

    std::shared_ptr<OpenedCase> m_case;
    CaseInfo m_info;
    RecordingModel *m_model;
    RecordingFilter *m_filter;
    QTableView *m_table;
    Timeline *m_timeline;
    QLabel *m_identity;
    QComboBox *m_channel;
    QCheckBox *m_fromOn, *m_toOn;
    QDateTimeEdit *m_from, *m_to;
    QLabel *m_preview, *m_previewState;
    QImage m_sheet; // the preview as made; shown scaled to the pane
    QScrollArea *m_previewArea;
    QSplitter *m_outer, *m_lower;
    QLabel *m_statusCounts, *m_statusChosen;
    QProgressBar *m_busy;
    bool m_scanning = false;
    int m_scanGeneration = 0;
    std::shared_ptr<std::atomic<bool>> m_scanStop; // the scan in hand stops at its next piece
    // The preview in hand: its stop flag, set when another is chosen.
    std::shared_ptr<std::atomic<bool>> m_previewStop;
    int m_previewGeneration = 0;
    QList<QPointer<QThread>> m_threads;
    QPointer<ExportProgressDialog> m_export;
    QPointer<ExportSummaryDialog> m_summary;
    bool m_syncing = false;
};

QString sourceIdentityText(const SourceDescription &d);

} // namespace korvath
