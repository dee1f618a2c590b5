// The recordings of a listing as rows: the table's model, and the filter by
// channel and true time that the table and the timeline share.
#pragma once

#include "listing.h"

#include <QAbstractTableModel>
#include <QHash>
#include <QSet>
#include <QSortFilterProxyModel>
#include <QVector>
#include <optional>

namespace korvath {

struct CaseRow {
    QString name;
    uint32_t channel = 0; // counted from 0
    std::optional<qint64> start, end; // recorder's clock, seconds from 2000; none for an impossible stamp
    int clusters = 0;
    uint64_t bytes = 0;
    RecordingOrigin origin = RecordingOrigin::Listed;
};

// One row per recording, in the listing's export order.
QVector<CaseRow> caseRows(const Listing &listing);

class RecordingModel : public QAbstractTableModel
{
    Q_OBJECT
public:
    enum Column { Channel, RecorderStart, RecorderEnd, TrueStart, TrueEnd, Length, Clusters, Size, Losses, Name, ColumnCount };
    enum Role { SortRole = Qt::UserRole + 1 };

    using QAbstractTableModel::QAbstractTableModel;
    void setRows(QVector<CaseRow> rows);
    void setClockOffset(qint64 offset); // recorder minus true, seconds
    qint64 clockOffset() const { return m_offset; }
    const QVector<CaseRow> &rows() const { return m_rows; }
    // What an export found, by recording name: the losses are known only
    // once its clusters were read ("none", the unreadable sectors, or why
    // it was not written). Kept until the next source.
    void addLosses(const QHash<QString, QString> &losses);
    // True time of a recorder time: the offset taken off.
    std::optional<qint64> trueTime(const std::optional<qint64> &recorder) const;

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
    QVector<CaseRow> m_rows;
    QHash<QString, QString> m_losses;
    qint64 m_offset = 0;
};

// Channels (counted from 0; empty: all) and a true-time window (either bound
// open) a row must touch to be shown.
class RecordingFilter : public QSortFilterProxyModel
{
    Q_OBJECT
public:
    explicit RecordingFilter(QObject *parent = nullptr);
    void setChannels(const QSet<uint32_t> &channels);
    void setWindow(std::optional<qint64> from, std::optional<qint64> to);
    std::optional<qint64> from() const { return m_from; }
    std::optional<qint64> to() const { return m_to; }

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex &sourceParent) const override;

private:
    QSet<uint32_t> m_channels;
    std::optional<qint64> m_from, m_to;
};

QString byteSizeText(uint64_t bytes);
QString durationText(qint64 seconds);

} // namespace korvath
