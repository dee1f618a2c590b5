#include "casewindow.h"

#include "casepreview.h"
#include "counttext.h"
#include "clock.h"
#include "exportdialog.h"
#include "recordingtable.h"
#include "timeline.h"
#include "videomodule.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QSettings>
#include <QSplitter>
#include <QStatusBar>
#include <QTableView>
#include <QThread>
#include <QVBoxLayout>

namespace korvath {

namespace {

const QDateTime kEpoch(QDate(2000, 1, 1), QTime(0, 0), Qt::UTC);

qint64 editSeconds(const QDateTimeEdit *edit)
{
    return kEpoch.secsTo(edit->dateTime());
}

// Every channel, every time a stamp can hold: the whole disk in one pass.
ScanQuery wholeDisk()
{
    ScanQuery q;
    q.allChannels = true;
    q.start = packRecorderTime(2000, 1, 1, 0, 0, 0);
    q.end = packRecorderTime(2063, 12, 31, 23, 59, 59);
    return q;
}

constexpr int kPreviewFrames = 6;
constexpr int kPreviewTileWidth = 240;

} // namespace

QString sourceIdentityText(const SourceDescription &d)
{
    QStringList lines;
    const QString path = d.devicePath.isEmpty() ? d.givenPath : d.devicePath;
    QString head = QStringLiteral("<b>%1</b>").arg(path.toHtmlEscaped());
    if (!d.givenPath.isEmpty() && d.givenPath != path)
        head += QObject::tr(" (given as %1)").arg(d.givenPath.toHtmlEscaped());
    lines << head;
    QStringList facts;
    if (!d.imageFormat.isEmpty())
        facts << d.imageFormat.toHtmlEscaped();
    facts << QObject::tr("%1 (%2 sectors)").arg(byteSizeText(d.sizeBytes)).arg(d.sectors);
    if (!d.identityText().isEmpty())
        facts << d.identityText().toHtmlEscaped();
    facts << (d.sector0Read ? (d.recorderSignature ? QObject::tr("recorder disk") : QObject::tr("no recorder signature"))
                            : QObject::tr("sector 0 could not be read"));
    lines << facts.join(QStringLiteral(" &middot; "));
    if (d.segments.size() > 1)
        lines << QObject::tr("%1 files in the set").arg(d.segments.size());
    for (const StoredImageHash &h : d.imageHashes)
        lines << QObject::tr("stored %1: %2").arg(h.type.toUpper(), h.value);
    if (!d.directorySha256.isEmpty())
        lines << QObject::tr("directory SHA-256: %1").arg(d.directorySha256);
    if (!d.directoryUnreadable.empty())
        lines << QObject::tr("<font color=\"#b00\">%1 of the directory could not be read</font>")
                     .arg(countText(sectorCount(d.directoryUnreadable), "sector", "sectors"));
    if (!d.imageMap.isEmpty())
        lines << QObject::tr("read through the map %1: %2").arg(d.imageMap.toHtmlEscaped(), d.imageMapSummary.toHtmlEscaped());
    return lines.join(QStringLiteral("<br>"));
}

CaseWindow::CaseWindow(QWidget *parent) : QMainWindow(parent)
{
    setWindowTitle(tr("Korvath Case"));
    m_model = new RecordingModel(this);
    m_filter = new RecordingFilter(this);
    m_filter->setSourceModel(m_model);
    buildCentre();
    buildMenus();
    updateStatus();
    restoreSettings();
}

CaseWindow::~CaseWindow()
{
    // A scan and a preview stop at their next piece, and end before the
    // window goes, so that no thread outlives what it reports to.
    if (m_previewStop)
        *m_previewStop = true;
    if (m_scanStop)
        *m_scanStop = true;
    for (const QPointer<QThread> &t : m_threads)
        if (t)
            t->wait();
}

QAction *CaseWindow::action(const QString &name) const
{
    return findChild<QAction *>(name);
}

void CaseWindow::buildMenus()
{
    auto add = [this](QMenu *menu, const QString &name, const QString &text, const QKeySequence &keys,
                      const std::function<void()> &slot) {
        QAction *a = menu->addAction(text);
        a->setObjectName(name);
        a->setShortcut(keys);
        connect(a, &QAction::triggered, this, slot);
        return a;
    };
    QMenu *file = menuBar()->addMenu(tr("&File"));
    add(file, QStringLiteral("openImage"), tr("Open &Image..."), QKeySequence::Open, [this] { openImage(); });
    add(file, QStringLiteral("openDrive"), tr("Open &Drive..."), QKeySequence(tr("Ctrl+D")), [this] { openDrive(); });
    add(file, QStringLiteral("stopScan"), tr("&Stop Reading the Directory"), QKeySequence::Cancel, [this] {
        if (m_scanStop)
            *m_scanStop = true;
    })->setEnabled(false);
    file->addSeparator();
    add(file, QStringLiteral("export"), tr("&Export Chosen..."), QKeySequence(tr("Ctrl+E")), [this] { exportChosen(); });
    file->addSeparator();
    add(file, QStringLiteral("quit"), tr("&Quit"), QKeySequence(tr("Ctrl+Q")), [this] { close(); });

    QMenu *caseMenu = menuBar()->addMenu(tr("&Case"));
    add(caseMenu, QStringLiteral("caseDetails"), tr("Case &Details and Clock..."), QKeySequence(tr("Ctrl+K")),
        [this] { editCase(); });

    QMenu *choose = menuBar()->addMenu(tr("C&hoose"));
    add(choose, QStringLiteral("chooseAll"), tr("Choose &All Shown"), QKeySequence::SelectAll, [this] {
        m_table->selectAll();
    });
    add(choose, QStringLiteral("chooseNone"), tr("Choose &None"), QKeySequence(tr("Ctrl+Shift+A")), [this] {
        m_table->clearSelection();
    });
    add(choose, QStringLiteral("filterChannel"), tr("Filter by &Channel"), QKeySequence::Find, [this] {
        m_channel->setFocus(Qt::ShortcutFocusReason);
    });
    add(choose, QStringLiteral("clearWindow"), tr("Clear the &Time Window"), QKeySequence(tr("Ctrl+Shift+W")),
        [this] { clearWindow(); });

    QMenu *view = menuBar()->addMenu(tr("&View"));
    add(view, QStringLiteral("zoomIn"), tr("Zoom &In"), QKeySequence::ZoomIn, [this] { m_timeline->zoomIn(); });
    add(view, QStringLiteral("zoomOut"), tr("Zoom &Out"), QKeySequence::ZoomOut, [this] { m_timeline->zoomOut(); });
    add(view, QStringLiteral("zoomFit"), tr("&Whole Disk"), QKeySequence(tr("Ctrl+0")), [this] { m_timeline->fit(); });
    add(view, QStringLiteral("focusTimeline"), tr("Go to the Time&line"), QKeySequence(tr("Ctrl+1")), [this] {
        m_timeline->setFocus(Qt::ShortcutFocusReason);
    });
    add(view, QStringLiteral("focusTable"), tr("Go to the &Table"), QKeySequence(tr("Ctrl+2")), [this] {
        m_table->setFocus(Qt::ShortcutFocusReason);
    });

    QMenu *help = menuBar()->addMenu(tr("&Help"));
    add(help, QStringLiteral("about"), tr("&About Korvath Case"), QKeySequence(tr("F1")), [this] { about(); });
}

void CaseWindow::buildCentre()
{
    m_identity = new QLabel(tr("No source open. Open an image (Ctrl+O) or a drive (Ctrl+D)."), this);
    m_identity->setObjectName(QStringLiteral("identity"));
    m_identity->setTextFormat(Qt::RichText);
    m_identity->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_identity->setWordWrap(true);

    m_timeline = new Timeline(this);
    m_timeline->setObjectName(QStringLiteral("timeline"));
    m_timeline->setModel(m_model);

    m_channel = new QComboBox(this);
    m_channel->setObjectName(QStringLiteral("channel"));
    m_channel->addItem(tr("All channels"), -1);
    m_fromOn = new QCheckBox(tr("&From"), this);
    m_toOn = new QCheckBox(tr("&To"), this);
    m_from = new QDateTimeEdit(this);
    m_to = new QDateTimeEdit(this);
    m_from->setObjectName(QStringLiteral("from"));
    m_to->setObjectName(QStringLiteral("to"));
    for (QDateTimeEdit *e : {m_from, m_to}) {
        e->setDisplayFormat(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
        e->setTimeSpec(Qt::UTC);
        e->setDateTimeRange(kEpoch, QDateTime(QDate(2063, 12, 31), QTime(23, 59, 59), Qt::UTC));
        e->setEnabled(false);
    }
    auto *clear = new QPushButton(tr("Clear"), this);
    auto *filterBar = new QHBoxLayout;
    filterBar->addWidget(new QLabel(tr("Show:"), this));
    filterBar->addWidget(m_channel);
    filterBar->addSpacing(12);
    filterBar->addWidget(m_fromOn);
    filterBar->addWidget(m_from);
    filterBar->addWidget(m_toOn);
    filterBar->addWidget(m_to);
    filterBar->addWidget(clear);
    filterBar->addWidget(new QLabel(tr("(true time)"), this));
    filterBar->addStretch();

    m_table = new QTableView(this);
    m_table->setObjectName(QStringLiteral("recordings"));
    m_table->setModel(m_filter);
    m_table->setSortingEnabled(true);
    m_table->sortByColumn(RecordingModel::Channel, Qt::AscendingOrder);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->verticalHeader()->hide();
    m_table->verticalHeader()->setDefaultSectionSize(m_table->fontMetrics().height() + 6);
    m_table->horizontalHeader()->setStretchLastSection(true);
    m_table->setWordWrap(false);
    m_table->setAlternatingRowColors(true);

    auto *tablePane = new QWidget(this);
    auto *tableLayout = new QVBoxLayout(tablePane);
    tableLayout->setContentsMargins(0, 0, 0, 0);
    tableLayout->addLayout(filterBar);
    tableLayout->addWidget(m_table);

    m_preview = new QLabel(this);
    m_preview->setObjectName(QStringLiteral("preview"));
    m_preview->setAlignment(Qt::AlignCenter);
    m_previewArea = new QScrollArea(this);
    m_previewArea->setWidget(m_preview);
    m_previewArea->setWidgetResizable(true);
    m_previewArea->viewport()->installEventFilter(this);
    m_previewState = new QLabel(tr("Choose one recording to see its frames."), this);
    m_previewState->setObjectName(QStringLiteral("previewState"));
    m_previewState->setWordWrap(true);
    auto *previewPane = new QWidget(this);
    auto *previewLayout = new QVBoxLayout(previewPane);
    previewLayout->setContentsMargins(0, 0, 0, 0);
    previewLayout->addWidget(m_previewState);
    previewLayout->addWidget(m_previewArea, 1);

    m_lower = new QSplitter(Qt::Horizontal, this);
    m_lower->setObjectName(QStringLiteral("lowerSplitter"));
    m_lower->addWidget(tablePane);
    m_lower->addWidget(previewPane);
    m_lower->setStretchFactor(0, 3);
    m_lower->setStretchFactor(1, 2);
    m_lower->setSizes({760, 500});
    m_outer = new QSplitter(Qt::Vertical, this);
    m_outer->setObjectName(QStringLiteral("outerSplitter"));
    m_outer->addWidget(m_timeline);
    m_outer->addWidget(m_lower);
    m_outer->setStretchFactor(1, 1);

    auto *centre = new QWidget(this);
    auto *layout = new QVBoxLayout(centre);
    layout->addWidget(m_identity);
    layout->addWidget(m_outer, 1);
    setCentralWidget(centre);

    m_statusCounts = new QLabel(this);
    m_statusChosen = new QLabel(this);
    m_statusChosen->setObjectName(QStringLiteral("statusChosen"));
    m_busy = new QProgressBar(this);
    m_busy->setRange(0, 0);
    m_busy->setMaximumWidth(160);
    m_busy->hide();
    statusBar()->addWidget(m_statusCounts);
    statusBar()->addWidget(m_statusChosen);
    statusBar()->addPermanentWidget(m_busy);

    connect(m_channel, qOverload<int>(&QComboBox::currentIndexChanged), this, &CaseWindow::applyChannelFilter);
    connect(m_fromOn, &QCheckBox::toggled, m_from, &QWidget::setEnabled);
    connect(m_toOn, &QCheckBox::toggled, m_to, &QWidget::setEnabled);
    for (QCheckBox *b : {m_fromOn, m_toOn})
        connect(b, &QCheckBox::toggled, this, &CaseWindow::applyTimeFilter);
    for (QDateTimeEdit *e : {m_from, m_to})
        connect(e, &QDateTimeEdit::dateTimeChanged, this, &CaseWindow::applyTimeFilter);
    connect(clear, &QPushButton::clicked, this, &CaseWindow::clearWindow);
    connect(m_table->selectionModel(), &QItemSelectionModel::selectionChanged, this, &CaseWindow::syncChosen);
    connect(m_table->selectionModel(), &QItemSelectionModel::currentRowChanged, this, &CaseWindow::startPreview);
    connect(m_filter, &QAbstractItemModel::rowsInserted, this, &CaseWindow::updateStatus);
    connect(m_filter, &QAbstractItemModel::rowsRemoved, this, &CaseWindow::updateStatus);
    connect(m_filter, &QAbstractItemModel::modelReset, this, &CaseWindow::updateStatus);
    connect(m_timeline, &Timeline::windowChosen, this, &CaseWindow::chooseWindow);
    connect(m_timeline, &Timeline::rowClicked, this, [this](int row, Qt::KeyboardModifiers modifiers) {
        const QModelIndex shown = row >= 0 ? m_filter->mapFromSource(m_model->index(row, 0)) : QModelIndex();
        QItemSelectionModel *s = m_table->selectionModel();
        if (!shown.isValid()) {
            if (!(modifiers & Qt::ControlModifier))
                s->clearSelection();
            return;
        }
        const auto flags = (modifiers & Qt::ControlModifier) ? QItemSelectionModel::Toggle
                                                             : QItemSelectionModel::ClearAndSelect;
        s->setCurrentIndex(shown, flags | QItemSelectionModel::Rows);
        m_table->scrollTo(shown);
    });
}

QThread *CaseWindow::runOffThread(std::function<void()> work)
{
    QThread *thread = QThread::create(std::move(work));
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    m_threads.removeAll(nullptr);
    m_threads << thread;
    thread->start();
    return thread;
}

void CaseWindow::openSource(const QString &given)
{
    if (m_scanning)
        return;
    m_scanning = true;
    m_busy->setRange(0, 0); // busy until the directory's size is known
    m_busy->show();
    statusBar()->showMessage(tr("Reading %1... (Esc stops)").arg(given));
    for (const char *name : {"openImage", "openDrive", "export"})
        action(QLatin1String(name))->setEnabled(false);
    action(QStringLiteral("stopScan"))->setEnabled(true);
    const int generation = ++m_scanGeneration;
    m_scanStop = std::make_shared<std::atomic<bool>>(false);
    QPointer<CaseWindow> self(this);
    runOffThread([self, given, generation, stop = m_scanStop] {
        auto opened = std::make_shared<OpenedCase>();
        opened->source = openCaseSource(given, &opened->error, &opened->notes);
        if (opened->source.source) {
            DirectoryReadOptions read;
            // The directory's read, in per mille, to the bar; Esc stops it, a read that hangs included.
            read.progress = [self](uint64_t done, uint64_t total) {
                const int shown = total ? int(done * 1000 / total) : 1000;
                QMetaObject::invokeMethod(qApp, [self, shown] {
                    if (self && self->m_scanning) {
                        self->m_busy->setRange(0, 1000);
                        self->m_busy->setValue(shown);
                    }
                }, Qt::QueuedConnection);
            };
            read.stop = [stop] { return stop->load(); };
            opened->listing = listCase(opened->source, wholeDisk(), true, nullptr, read);
            // Both of two recordings with one name are kept, as korvath-cli keeps them, and said.
            Listing &listing = opened->listing.listing;
            for (const Recording &r : listing.displaced)
                opened->notes << tr("'%1' names two recordings (the same channel and stamps, other clusters): the one "
                                    "from cluster %2 is listed as '%1', the one from cluster %3 as '%4'.")
                                     .arg(r.name)
                                     .arg(listing.recordings.value(r.name).recordIndex)
                                     .arg(r.recordIndex)
                                     .arg(displacedName(r));
            keepDisplaced(listing);
            describeListing(opened->source.description, opened->listing.listing, opened->listing.directoryDigest);
        }
        QMetaObject::invokeMethod(qApp, [self, generation, opened] {
            if (self && generation == self->m_scanGeneration)
                self->showOpened(opened);
        }, Qt::QueuedConnection);
    });
}

void CaseWindow::showOpened(std::shared_ptr<OpenedCase> opened)
{
    emit scanFinished();
    m_scanning = false;
    m_busy->hide();
    statusBar()->clearMessage();
    for (const char *name : {"openImage", "openDrive", "export"})
        action(QLatin1String(name))->setEnabled(true);
    action(QStringLiteral("stopScan"))->setEnabled(false);
    if (!opened->source.source) {
        QMessageBox::warning(this, tr("Open"), opened->error);
        emit this->opened(false);
        return;
    }
    if (opened->listing.listing.stopped) {
        // What was shown before stays; nothing of a half-read directory is listed.
        QMessageBox::information(this, tr("Open"),
                                 tr("Reading the directory of %1 was stopped; nothing of it is listed.")
                                     .arg(opened->source.description.givenPath));
        emit this->opened(false);
        return;
    }
    if (m_previewStop)
        *m_previewStop = true;
    m_case = opened;
    const Listing &listing = m_case->listing.listing;
    m_model->setRows(caseRows(listing));
    m_model->setClockOffset(m_info.offset());
    m_timeline->reload();
    {
        const QSignalBlocker block(m_channel);
        m_channel->clear();
        m_channel->addItem(tr("All channels"), -1);
        for (uint32_t c : m_timeline->lanes())
            m_channel->addItem(QStringLiteral("CAM%1").arg(c + 1), static_cast<int>(c));
    }
    applyChannelFilter();
    m_table->resizeColumnsToContents();
    m_sheet = QImage();
    m_preview->clear();
    m_previewState->setText(tr("Choose one recording to see its frames."));
    updateIdentity();
    setWindowTitle(tr("%1 - Korvath Case").arg(m_case->source.description.givenPath));
    // What the scan could not do is said, never left to be noticed.
    QStringList said = opened->notes;
    if (!listing.sector0Read)
        said << tr("Sector 0 could not be read: nothing is listed, since the directory's place is unknown.");
    if (listing.directoryUnreadableOnSource() > 0)
        said << tr("%1 of the directory could not be read: recordings described there are missing.")
                    .arg(countText(listing.directoryUnreadableOnSource(), "sector", "sectors"));
    if (listing.scan.bounded)
        said << tr("The scan stopped at its bound (a damaged or crafted directory): what was listed before it is kept.");
    if (!said.isEmpty())
        QMessageBox::warning(this, tr("List"), said.join(QLatin1Char('\n')));
    emit this->opened(true);
}

void CaseWindow::updateIdentity()
{
    if (!m_case)
        return;
    QString text = sourceIdentityText(m_case->source.description);
    const qint64 offset = m_info.offset();
    text += QStringLiteral("<br>") + (offset ? tr("Recorder's clock: %1 against the true time").arg(clockOffsetText(offset))
                                             : tr("Recorder's clock taken as true"));
    if (!m_info.details.caseNumber.isEmpty())
        text += tr(" &middot; case %1").arg(m_info.details.caseNumber.toHtmlEscaped());
    if (!m_info.details.exhibit.isEmpty())
        text += tr(" &middot; exhibit %1").arg(m_info.details.exhibit.toHtmlEscaped());
    m_identity->setText(text);
}

void CaseWindow::applyChannelFilter()
{
    const int channel = m_channel->currentData().toInt();
    m_filter->setChannels(channel < 0 ? QSet<uint32_t>{} : QSet<uint32_t>{static_cast<uint32_t>(channel)});
    syncChosen();
}

void CaseWindow::applyTimeFilter()
{
    if (m_syncing)
        return;
    const std::optional<qint64> from = m_fromOn->isChecked() ? std::optional<qint64>(editSeconds(m_from)) : std::nullopt;
    const std::optional<qint64> to = m_toOn->isChecked() ? std::optional<qint64>(editSeconds(m_to)) : std::nullopt;
    m_filter->setWindow(from, to);
    m_timeline->setWindow(from, to);
    syncChosen();
}

void CaseWindow::chooseWindow(qint64 from, qint64 to)
{
    m_syncing = true;
    m_from->setDateTime(kEpoch.addSecs(from));
    m_to->setDateTime(kEpoch.addSecs(to));
    m_fromOn->setChecked(true);
    m_toOn->setChecked(true);
    m_syncing = false;
    applyTimeFilter();
    m_table->selectAll();
}

void CaseWindow::clearWindow()
{
    m_syncing = true;
    m_fromOn->setChecked(false);
    m_toOn->setChecked(false);
    m_syncing = false;
    applyTimeFilter();
}

QStringList CaseWindow::chosenNames() const
{
    // In the model's order, which is the listing's export order.
    QVector<int> rows;
    for (const QModelIndex &i : m_table->selectionModel()->selectedRows())
        rows << m_filter->mapToSource(i).row();
    std::sort(rows.begin(), rows.end());
    QStringList names;
    for (int r : rows)
        names << m_model->rows()[r].name;
    return names;
}

void CaseWindow::syncChosen()
{
    QSet<int> rows;
    for (const QModelIndex &i : m_table->selectionModel()->selectedRows())
        rows.insert(m_filter->mapToSource(i).row());
    m_timeline->setChosen(rows);
    updateStatus();
}

void CaseWindow::updateStatus()
{
    m_statusCounts->setText(tr("%1 of %2 recordings shown").arg(m_filter->rowCount()).arg(m_model->rowCount()));
    uint64_t bytes = 0;
    int n = 0;
    for (const QModelIndex &i : m_table->selectionModel()->selectedRows()) {
        bytes += m_model->rows()[m_filter->mapToSource(i).row()].bytes;
        ++n;
    }
    m_statusChosen->setText(tr("%1 chosen, %2").arg(n).arg(byteSizeText(bytes)));
}

void CaseWindow::startPreview()
{
    // Choosing another abandons the one in hand.
    if (m_previewStop)
        *m_previewStop = true;
    m_previewStop.reset();
    const int generation = ++m_previewGeneration;
    const QModelIndex current = m_table->selectionModel()->currentIndex();
    if (!m_case || !current.isValid()) {
        m_sheet = QImage();
        m_preview->clear();
        return;
    }
    const CaseRow &row = m_model->rows()[m_filter->mapToSource(current).row()];
    m_previewState->setText(tr("Reading the frames of %1...").arg(row.name));
    auto stop = std::make_shared<std::atomic<bool>>(false);
    m_previewStop = stop;
    std::shared_ptr<OpenedCase> opened = m_case;
    const QString name = row.name;
    QPointer<CaseWindow> self(this);
    runOffThread([self, opened, name, stop, generation] {
        const Listing &listing = opened->listing.listing;
        RecordingPreview preview;
        const auto it = listing.recordings.constFind(name);
        if (it != listing.recordings.constEnd())
            preview = previewRecording(listing, *it, kPreviewFrames, kPreviewTileWidth, [stop] { return stop->load(); });
        if (stop->load())
            return;
        QImage sheet;
        if (preview.result.ok)
            sheet.loadFromData(preview.result.png, "PNG");
        QMetaObject::invokeMethod(qApp, [self, generation, name, preview, sheet] {
            if (!self || generation != self->m_previewGeneration)
                return;
            const PreviewResult &r = preview.result;
            int shown = 0;
            for (const PreviewTile &t : r.tiles)
                shown += t.found;
            if (r.ok && !sheet.isNull()) {
                self->m_sheet = sheet;
                self->fitPreview();
                QString state = tr("%1: %2 of %3 frames, %4 clusters read (a derived picture)")
                                    .arg(name).arg(shown).arg(r.tiles.size()).arg(r.clustersRead);
                if (preview.unreadableClusters)
                    state += tr("; %1 clusters could not be read whole and were not used").arg(preview.unreadableClusters);
                self->m_previewState->setText(state);
            } else {
                self->m_sheet = QImage();
                self->m_preview->clear();
                self->m_previewState->setText(tr("%1: no preview (%2)").arg(name, r.error));
            }
            emit self->previewShown(name, r.ok);
        }, Qt::QueuedConnection);
    });
}

// The sheet as wide as the pane, never enlarged.
void CaseWindow::fitPreview()
{
    if (m_sheet.isNull())
        return;
    const int width = std::max(64, m_previewArea->viewport()->width() - 4);
    m_preview->setPixmap(QPixmap::fromImage(m_sheet.width() > width
                                                ? m_sheet.scaledToWidth(width, Qt::SmoothTransformation)
                                                : m_sheet));
}

bool CaseWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_previewArea->viewport() && event->type() == QEvent::Resize)
        fitPreview();
    return QMainWindow::eventFilter(watched, event);
}

void CaseWindow::openDrive()
{
    DriveDialog dialog(this);
    if (dialog.exec() == QDialog::Accepted && !dialog.chosenDrive().isEmpty())
        openSource(dialog.chosenDrive());
}

void CaseWindow::openImage()
{
    QSettings settings;
    const QString path = QFileDialog::getOpenFileName(
        this, tr("Open an Image"), settings.value(QStringLiteral("imageFolder")).toString(),
        tr("Disk images (*.img *.dd *.raw *.bin *.001 *.E01 *.e01 *.Ex01 *.aff);;All files (*)"));
    if (path.isEmpty())
        return;
    settings.setValue(QStringLiteral("imageFolder"), QFileInfo(path).absolutePath());
    openSource(path);
}

void CaseWindow::setCaseInfo(const CaseInfo &info)
{
    m_info = info;
    m_model->setClockOffset(info.offset());
    m_timeline->reload();
    syncChosen();
    applyTimeFilter();
    updateIdentity();
}

void CaseWindow::editCase()
{
    CaseDialog dialog(m_info, this);
    if (dialog.exec() == QDialog::Accepted)
        setCaseInfo(dialog.info());
}

void CaseWindow::about()
{
    QStringList libs;
    std::vector<LibraryVersion> all = coreLibraries();
    QString why;
    if (const VideoModule *video = videoModule(&why))
        for (const LibraryVersion &l : video->libraries())
            all.push_back(l);
    for (const LibraryVersion &l : all)
        libs << QStringLiteral("%1 %2").arg(l.name, l.loaded.isEmpty() ? l.built : l.loaded);
    QMessageBox::about(this, tr("About Korvath Case"),
                       tr("<b>Korvath Case %1</b><p>The examiner's window of Korvath: recordings of a video "
                          "recorder's disk, read-only, exported with hashes, playable copies and a case report.</p>"
                          "<p>Built with %2.</p>")
                           .arg(QStringLiteral(KORVATH_VERSION), libs.join(QStringLiteral(", ")).toHtmlEscaped()));
}

void CaseWindow::restoreSettings()
{
    QSettings settings;
    if (!restoreGeometry(settings.value(QStringLiteral("window/geometry")).toByteArray()))
        resize(1200, 800);
    restoreState(settings.value(QStringLiteral("window/state")).toByteArray());
    m_outer->restoreState(settings.value(QStringLiteral("window/outer")).toByteArray());
    m_lower->restoreState(settings.value(QStringLiteral("window/lower")).toByteArray());
}

void CaseWindow::saveSettings() const
{
    QSettings settings;
    settings.setValue(QStringLiteral("window/geometry"), saveGeometry());
    settings.setValue(QStringLiteral("window/state"), saveState());
    settings.setValue(QStringLiteral("window/outer"), m_outer->saveState());
    settings.setValue(QStringLiteral("window/lower"), m_lower->saveState());
}

void CaseWindow::closeEvent(QCloseEvent *event)
{
    if (m_export && m_export->running()) {
        if (QMessageBox::question(this, tr("Export"), tr("An export is running. Stop it after the cluster in hand and quit?"))
            != QMessageBox::Yes) {
            event->ignore();
            return;
        }
        m_export->cancel();
        delete m_export; // waits for the job: every file is whole or absent
    }
    saveSettings();
    QMainWindow::closeEvent(event);
}

} // namespace korvath
