#include "timeline.h"

#include "clock.h"
#include "recordingtable.h"

#include <QHelpEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QToolTip>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>

namespace korvath {

namespace {
constexpr int kLabelWidth = 64;
constexpr int kRulerHeight = 22;
constexpr int kLaneHeight = 30;
constexpr double kMinSpan = 60;              // a minute across the plot at most zoomed in
constexpr double kMaxSpan = 64.0 * 365 * 86400;

QColor laneColour(uint32_t channel)
{
    return QColor::fromHsv(static_cast<int>((channel * 67) % 360), 140, 200);
}
} // namespace

Timeline::Timeline(QWidget *parent) : QWidget(parent)
{
    setFocusPolicy(Qt::StrongFocus);
    setMouseTracking(false);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setToolTip(QString()); // tooltips come from event()
}

QSize Timeline::sizeHint() const
{
    return {800, kRulerHeight + kLaneHeight * std::max(3, static_cast<int>(m_lanes.size())) + 4};
}

QSize Timeline::minimumSizeHint() const
{
    return {200, kRulerHeight + kLaneHeight + 4};
}

void Timeline::setModel(const RecordingModel *model)
{
    m_model = model;
    reload();
}

void Timeline::reload()
{
    m_lanes.clear();
    m_bars.clear();
    m_longest.clear();
    m_laneOfRow.clear();
    m_chosen.clear();
    if (!m_model) {
        update();
        return;
    }
    const QVector<CaseRow> &rows = m_model->rows();
    QSet<uint32_t> channels;
    for (const CaseRow &r : rows)
        channels.insert(r.channel);
    m_lanes = QVector<uint32_t>(channels.begin(), channels.end());
    std::sort(m_lanes.begin(), m_lanes.end());
    m_bars.resize(m_lanes.size());
    m_longest.fill(0, m_lanes.size());
    m_laneOfRow.fill(-1, rows.size());
    bool any = false;
    double lo = 0, hi = 0;
    for (int i = 0; i < rows.size(); ++i) {
        const CaseRow &r = rows[i];
        if (!r.start || !r.end)
            continue; // no time: no place on a time axis
        const int lane = static_cast<int>(std::lower_bound(m_lanes.begin(), m_lanes.end(), r.channel) - m_lanes.begin());
        const double s = static_cast<double>(*m_model->trueTime(r.start));
        const double e = static_cast<double>(*m_model->trueTime(r.end)) + 1;
        m_bars[lane].push_back({s, e, i});
        m_longest[lane] = std::max(m_longest[lane], e - s);
        m_laneOfRow[i] = lane;
        lo = any ? std::min(lo, s) : s;
        hi = any ? std::max(hi, e) : e;
        any = true;
    }
    for (QVector<Bar> &lane : m_bars)
        std::sort(lane.begin(), lane.end(), [](const Bar &a, const Bar &b) { return a.start < b.start; });
    if (any) {
        const double margin = std::max(60.0, (hi - lo) * 0.02);
        m_min = lo - margin;
        m_max = hi + margin;
    } else {
        m_min = 0;
        m_max = 86400;
    }
    updateGeometry();
    fit();
}

void Timeline::setChosen(const QSet<int> &rows)
{
    m_chosen = rows;
    update();
}

void Timeline::setWindow(std::optional<qint64> from, std::optional<qint64> to)
{
    m_windowFrom = from;
    m_windowTo = to;
    update();
}

void Timeline::setView(double from, double to)
{
    double span = std::clamp(to - from, kMinSpan, kMaxSpan);
    const double mid = (from + to) / 2;
    m_from = mid - span / 2;
    m_to = mid + span / 2;
    update();
}

void Timeline::fit()
{
    setView(m_min, m_max);
}

void Timeline::zoomIn()
{
    zoomAround(0.5, plotRect().center().x());
}

void Timeline::zoomOut()
{
    zoomAround(2.0, plotRect().center().x());
}

void Timeline::zoomAround(double factor, int x)
{
    const double at = timeAt(x);
    const double span = std::clamp((m_to - m_from) * factor, kMinSpan, kMaxSpan);
    const QRect plot = plotRect();
    const double share = plot.width() > 0 ? double(x - plot.left()) / plot.width() : 0.5;
    m_from = at - span * share;
    m_to = m_from + span;
    update();
}

QRect Timeline::plotRect() const
{
    return QRect(kLabelWidth, kRulerHeight, std::max(1, width() - kLabelWidth - 4), height() - kRulerHeight);
}

int Timeline::laneTop(int lane) const
{
    return kRulerHeight + lane * kLaneHeight;
}

double Timeline::timeAt(int x) const
{
    const QRect plot = plotRect();
    return m_from + (m_to - m_from) * double(x - plot.left()) / plot.width();
}

int Timeline::xAt(double seconds) const
{
    const QRect plot = plotRect();
    const double x = plot.left() + (seconds - m_from) / (m_to - m_from) * plot.width();
    return static_cast<int>(std::floor(std::clamp(x, -1e6, 1e6)));
}

QRect Timeline::barRect(int row) const
{
    if (row < 0 || row >= m_laneOfRow.size() || m_laneOfRow[row] < 0)
        return {};
    const int lane = m_laneOfRow[row];
    for (const Bar &b : m_bars[lane])
        if (b.row == row) {
            const int x0 = xAt(b.start), x1 = std::max(xAt(b.end), x0 + 2);
            const QRect r(QPoint(x0, laneTop(lane) + 5), QPoint(x1 - 1, laneTop(lane) + kLaneHeight - 6));
            return r.intersected(plotRect());
        }
    return {};
}

int Timeline::rowAt(const QPoint &pos) const
{
    if (pos.y() < kRulerHeight || pos.x() < kLabelWidth)
        return -1;
    const int lane = (pos.y() - kRulerHeight) / kLaneHeight;
    if (lane >= m_bars.size())
        return -1;
    // A bar at least 2 px wide, and a pixel of slack on each side.
    const double perPixel = (m_to - m_from) / plotRect().width();
    const double t = timeAt(pos.x());
    const QVector<Bar> &bars = m_bars[lane];
    auto it = std::upper_bound(bars.begin(), bars.end(), t + 2 * perPixel,
                               [](double v, const Bar &b) { return v < b.start; });
    while (it != bars.begin()) {
        --it;
        if (it->start < t - m_longest[lane] - 2 * perPixel)
            break;
        if (t >= it->start - perPixel && t <= std::max(it->end, it->start + 2 * perPixel) + perPixel)
            return it->row;
    }
    return -1;
}

QString Timeline::gapText(const QPoint &pos) const
{
    if (pos.y() < kRulerHeight || pos.x() < kLabelWidth)
        return {};
    const int lane = (pos.y() - kRulerHeight) / kLaneHeight;
    if (lane >= m_bars.size())
        return {};
    const double t = timeAt(pos.x());
    const QVector<Bar> &bars = m_bars[lane];
    const auto next = std::upper_bound(bars.begin(), bars.end(), t, [](double v, const Bar &b) { return v < b.start; });
    // The latest end before t, among the bars that begin before it.
    std::optional<double> before;
    for (auto it = next; it != bars.begin();) {
        --it;
        if (it->start < t - m_longest[lane])
            break;
        if (it->end <= t)
            before = std::max(before.value_or(it->end), it->end);
    }
    if (!before && next != bars.begin() && std::prev(next)->end <= t)
        before = std::prev(next)->end; // only bars long ago: the lane's last end before them is the latest
    const QString cam = QStringLiteral("CAM%1").arg(m_lanes[lane] + 1);
    if (!before && next == bars.end())
        return {};
    if (!before)
        return tr("%1: nothing recorded before %2").arg(cam, secondsText(static_cast<qint64>(next->start)));
    if (next == bars.end())
        return tr("%1: nothing recorded after %2").arg(cam, secondsText(static_cast<qint64>(*before) - 1));
    return tr("%1: nothing recorded from %2 to %3 (%4)")
        .arg(cam, secondsText(static_cast<qint64>(*before)), secondsText(static_cast<qint64>(next->start) - 1),
             durationText(static_cast<qint64>(next->start - *before)));
}

void Timeline::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    const QRect plot = plotRect();
    p.fillRect(rect(), palette().base());
    const double span = m_to - m_from;
    // The ruler: a step that leaves about 90 px between labels.
    static const double steps[] = {1, 5, 15, 30, 60, 300, 900, 1800, 3600, 3 * 3600, 6 * 3600, 12 * 3600,
                                   86400, 7 * 86400, 30 * 86400, 365 * 86400};
    double step = steps[std::size(steps) - 1];
    for (double s : steps)
        if (s / span * plot.width() >= 90) {
            step = s;
            break;
        }
    p.setPen(palette().color(QPalette::Mid));
    const QFontMetrics fm(font());
    for (double t = std::ceil(m_from / step) * step; t <= m_to; t += step) {
        const int x = xAt(t);
        p.setPen(palette().color(QPalette::Midlight));
        p.drawLine(x, kRulerHeight, x, height());
        p.setPen(palette().color(QPalette::Text));
        QString label = secondsText(static_cast<qint64>(t));
        // The date at midnight and for steps of days, the time otherwise.
        if (step >= 86400 || std::fmod(t, 86400) == 0)
            label = label.left(10);
        else
            label = label.mid(11, step < 60 ? 8 : 5);
        p.drawText(x + 2, fm.ascent() + 3, label);
    }
    // The chosen time window.
    if (m_windowFrom || m_windowTo) {
        const int x0 = m_windowFrom ? std::max(xAt(double(*m_windowFrom)), plot.left()) : plot.left();
        const int x1 = m_windowTo ? std::min(xAt(double(*m_windowTo) + 1), plot.right()) : plot.right();
        if (x1 >= x0)
            p.fillRect(QRect(QPoint(x0, kRulerHeight), QPoint(x1, height())), QColor(255, 200, 0, 60));
    }
    if (m_drag == Drag::Window) {
        const int a = std::min(m_pressPos.x(), m_dragX), b = std::max(m_pressPos.x(), m_dragX);
        p.fillRect(QRect(QPoint(a, kRulerHeight), QPoint(b, height())), QColor(0, 120, 215, 60));
    }
    // The lanes: bars narrower than a pixel that fall on a pixel already drawn are skipped.
    const QColor chosen = palette().color(QPalette::Highlight);
    for (int lane = 0; lane < m_lanes.size(); ++lane) {
        const int top = laneTop(lane);
        p.setPen(palette().color(QPalette::Text));
        p.drawText(QRect(4, top, kLabelWidth - 8, kLaneHeight), Qt::AlignVCenter | Qt::AlignLeft,
                   QStringLiteral("CAM%1").arg(m_lanes[lane] + 1));
        p.setPen(palette().color(QPalette::Mid));
        p.drawLine(plot.left(), top + kLaneHeight - 1, plot.right(), top + kLaneHeight - 1);
        p.setClipRect(plot);
        const QVector<Bar> &bars = m_bars[lane];
        auto it = std::lower_bound(bars.begin(), bars.end(), m_from - m_longest[lane],
                                   [](const Bar &b, double v) { return b.start < v; });
        const QColor colour = laneColour(m_lanes[lane]);
        int lastX = INT_MIN;
        for (; it != bars.end() && it->start <= m_to; ++it) {
            if (it->end < m_from)
                continue;
            const int x0 = xAt(it->start);
            const int x1 = std::max(xAt(it->end), x0 + 2);
            const bool isChosen = m_chosen.contains(it->row);
            if (x1 <= lastX && !isChosen)
                continue;
            lastX = x1;
            p.fillRect(QRect(QPoint(x0, top + 5), QPoint(x1 - 1, top + kLaneHeight - 6)), isChosen ? chosen : colour);
        }
        p.setClipping(false);
    }
    p.setPen(palette().color(QPalette::Mid));
    p.drawLine(plot.left(), kRulerHeight - 1, plot.right(), kRulerHeight - 1);
    if (m_lanes.isEmpty()) {
        p.setPen(palette().color(QPalette::Text));
        p.drawText(plot, Qt::AlignCenter, tr("No recordings"));
    }
    if (hasFocus()) {
        p.setPen(QPen(palette().color(QPalette::Highlight), 1, Qt::DotLine));
        p.drawRect(rect().adjusted(0, 0, -1, -1));
    }
}

void Timeline::wheelEvent(QWheelEvent *event)
{
    const int delta = event->angleDelta().y();
    if (delta == 0)
        return;
    zoomAround(std::pow(0.8, delta / 120.0), static_cast<int>(event->position().x()));
    event->accept();
}

void Timeline::mousePressEvent(QMouseEvent *event)
{
    setFocus(Qt::MouseFocusReason);
    m_pressPos = event->pos();
    m_dragX = event->pos().x();
    m_pressFrom = m_from;
    m_pressTo = m_to;
    m_moved = false;
    const bool window = event->button() == Qt::RightButton
        || (event->button() == Qt::LeftButton && (event->modifiers() & Qt::ShiftModifier));
    m_drag = window ? Drag::Window : event->button() == Qt::LeftButton ? Drag::Pan : Drag::None;
}

void Timeline::mouseMoveEvent(QMouseEvent *event)
{
    if (m_drag == Drag::None)
        return;
    if ((event->pos() - m_pressPos).manhattanLength() > 3)
        m_moved = true;
    m_dragX = event->pos().x();
    if (m_drag == Drag::Pan) {
        const double shift = (m_pressTo - m_pressFrom) * (m_pressPos.x() - event->pos().x()) / plotRect().width();
        m_from = m_pressFrom + shift;
        m_to = m_pressTo + shift;
    }
    update();
}

void Timeline::mouseReleaseEvent(QMouseEvent *event)
{
    const Drag drag = m_drag;
    m_drag = Drag::None;
    if ((event->pos() - m_pressPos).manhattanLength() > 3)
        m_moved = true;
    if (drag == Drag::Window && m_moved) {
        const double a = timeAt(std::min(m_pressPos.x(), event->pos().x()));
        const double b = timeAt(std::max(m_pressPos.x(), event->pos().x()));
        emit windowChosen(static_cast<qint64>(std::floor(a)), static_cast<qint64>(std::floor(b)));
    } else if (!m_moved && drag != Drag::None) {
        emit rowClicked(rowAt(event->pos()), event->modifiers());
    }
    update();
}

void Timeline::keyPressEvent(QKeyEvent *event)
{
    const double span = m_to - m_from;
    switch (event->key()) {
    case Qt::Key_Plus: case Qt::Key_Equal: zoomIn(); break;
    case Qt::Key_Minus: zoomOut(); break;
    case Qt::Key_0: case Qt::Key_Home: fit(); break;
    case Qt::Key_Left: setView(m_from - span / 10, m_to - span / 10); break;
    case Qt::Key_Right: setView(m_from + span / 10, m_to + span / 10); break;
    default: QWidget::keyPressEvent(event); return;
    }
}

bool Timeline::event(QEvent *event)
{
    if (event->type() == QEvent::ToolTip && m_model) {
        auto *help = static_cast<QHelpEvent *>(event);
        const int row = rowAt(help->pos());
        if (row < 0) {
            const QString gap = gapText(help->pos());
            if (gap.isEmpty()) {
                QToolTip::hideText();
                event->ignore();
            } else {
                QToolTip::showText(help->globalPos(), gap, this);
            }
            return true;
        }
        const CaseRow &r = m_model->rows()[row];
        QToolTip::showText(help->globalPos(),
                           tr("%1\nRecorder: %2 - %3\nTrue: %4 - %5\n%6 clusters, %7")
                               .arg(r.name, secondsText(*r.start), secondsText(*r.end),
                                    secondsText(*m_model->trueTime(r.start)), secondsText(*m_model->trueTime(r.end)))
                               .arg(r.clusters)
                               .arg(byteSizeText(r.bytes)),
                           this, barRect(row));
        return true;
    }
    return QWidget::event(event);
}

} // namespace korvath
