#include "recordingtable.h"

#include "clock.h"

#include <QLocale>

namespace korvath {

QVector<CaseRow> caseRows(const Listing &listing)
{
    QVector<CaseRow> rows;
    const QList<const Recording *> ordered = orderedRecordings(listing);
    rows.reserve(ordered.size());
    for (const Recording *r : ordered) {
        CaseRow row;
        row.name = r->name;
        row.channel = r->channel;
        if (r->timesKnown) {
            row.start = recorderTimeSeconds(r->startTime);
            row.end = recorderTimeSeconds(r->endTime);
        }
        row.clusters = r->clusters.size();
        row.bytes = static_cast<uint64_t>(r->clusters.size()) * kClusterBytes;
        row.origin = r->origin;
        rows.push_back(row);
    }
    return rows;
}

QString byteSizeText(uint64_t bytes)
{
    return QLocale::system().formattedDataSize(static_cast<qint64>(bytes), 1, QLocale::DataSizeTraditionalFormat);
}

QString durationText(qint64 seconds)
{
    if (seconds < 0)
        return QString();
    return QStringLiteral("%1:%2:%3")
        .arg(seconds / 3600)
        .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

void RecordingModel::setRows(QVector<CaseRow> rows)
{
    beginResetModel();
    m_rows = std::move(rows);
    m_losses.clear();
    endResetModel();
}

void RecordingModel::setClockOffset(qint64 offset)
{
    m_offset = offset;
    if (!m_rows.isEmpty())
        emit dataChanged(index(0, TrueStart), index(m_rows.size() - 1, TrueEnd));
}

void RecordingModel::addLosses(const QHash<QString, QString> &losses)
{
    for (auto it = losses.begin(); it != losses.end(); ++it)
        m_losses.insert(it.key(), it.value());
    if (!m_rows.isEmpty())
        emit dataChanged(index(0, Losses), index(m_rows.size() - 1, Losses));
}

std::optional<qint64> RecordingModel::trueTime(const std::optional<qint64> &recorder) const
{
    if (!recorder)
        return std::nullopt;
    return *recorder - m_offset;
}

int RecordingModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_rows.size();
}

int RecordingModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

namespace {

QString timeText(const std::optional<qint64> &seconds)
{
    return seconds ? secondsText(*seconds) : QStringLiteral("unknown");
}

} // namespace

QVariant RecordingModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_rows.size())
        return {};
    const CaseRow &r = m_rows[index.row()];
    const bool timed = r.start && r.end;
    if (role == SortRole) {
        switch (index.column()) {
        case Channel: return static_cast<qulonglong>(r.channel) << 40 | static_cast<qulonglong>(timed ? *r.start : 0);
        case RecorderStart: case TrueStart: return timed ? *r.start : -1;
        case RecorderEnd: case TrueEnd: return timed ? *r.end : -1;
        case Length: return timed ? *r.end - *r.start : -1;
        case Clusters: return r.clusters;
        case Size: return static_cast<qulonglong>(r.bytes);
        case Losses: return m_losses.value(r.name);
        case Name: return r.name;
        }
    }
    if (role == Qt::TextAlignmentRole && index.column() != Name)
        return int(index.column() >= Length && index.column() <= Size ? Qt::AlignRight : Qt::AlignLeft) | int(Qt::AlignVCenter);
    if (role == Qt::ToolTipRole)
        return index.column() == Losses && m_losses.contains(r.name) ? m_losses.value(r.name) : r.name;
    if (role != Qt::DisplayRole)
        return {};
    switch (index.column()) {
    case Channel: return QStringLiteral("CAM%1").arg(r.channel + 1);
    case RecorderStart: return timeText(r.start);
    case RecorderEnd: return timeText(r.end);
    case TrueStart: return timeText(trueTime(r.start));
    case TrueEnd: return timeText(trueTime(r.end));
    case Length: return timed ? durationText(*r.end - *r.start + 1) : QString();
    case Clusters: return r.clusters;
    case Size: return byteSizeText(r.bytes);
    case Losses: return m_losses.value(r.name, tr("not read yet"));
    case Name: return r.origin == RecordingOrigin::Unlisted ? r.name + QStringLiteral(" (unlisted)") : r.name;
    }
    return {};
}

QVariant RecordingModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    static const char *const names[ColumnCount] = {"Channel", "Recorder start", "Recorder end", "True start",
                                                   "True end", "Length", "Clusters", "Size", "Losses", "File"};
    return section >= 0 && section < ColumnCount ? tr(names[section]) : QVariant();
}

RecordingFilter::RecordingFilter(QObject *parent) : QSortFilterProxyModel(parent)
{
    setSortRole(RecordingModel::SortRole);
}

void RecordingFilter::setChannels(const QSet<uint32_t> &channels)
{
    m_channels = channels;
    invalidateFilter();
}

void RecordingFilter::setWindow(std::optional<qint64> from, std::optional<qint64> to)
{
    m_from = from;
    m_to = to;
    invalidateFilter();
}

bool RecordingFilter::filterAcceptsRow(int sourceRow, const QModelIndex &) const
{
    const auto *model = static_cast<const RecordingModel *>(sourceModel());
    const CaseRow &r = model->rows()[sourceRow];
    if (!m_channels.isEmpty() && !m_channels.contains(r.channel))
        return false;
    if (!r.start || !r.end)
        return true; // a window cannot exclude what has no time
    // Everything that touches the window.
    const qint64 start = *model->trueTime(r.start), end = *model->trueTime(r.end);
    return (!m_to || start <= *m_to) && (!m_from || end >= *m_from);
}

} // namespace korvath
