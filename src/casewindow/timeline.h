// The whole disk at a glance: one lane per channel, each recording a bar at
// its true time. The wheel zooms, a drag pans, a drag with Shift (or the right
// button) chooses a time window across the lanes, a click chooses a bar.
#pragma once

#include <QSet>
#include <QVector>
#include <QWidget>
#include <optional>

namespace korvath {

class RecordingModel;

class Timeline : public QWidget
{
    Q_OBJECT
public:
    explicit Timeline(QWidget *parent = nullptr);
    // Reads the rows and the clock offset of `model` again (after a scan or a new offset).
    void setModel(const RecordingModel *model);
    void reload();
    void setChosen(const QSet<int> &rows); // rows of the model, drawn highlighted
    void setWindow(std::optional<qint64> from, std::optional<qint64> to);

    QVector<uint32_t> lanes() const { return m_lanes; } // channels, counted from 0, top down
    // The view, true seconds from 2000.
    double viewFrom() const { return m_from; }
    double viewTo() const { return m_to; }
    void setView(double from, double to);
    // Where a row's bar lies (for tests and tooltips); empty when off screen.
    QRect barRect(int row) const;
    // The true time under x, and x of a true time.
    double timeAt(int x) const;
    int xAt(double seconds) const;
    int rowAt(const QPoint &pos) const; // -1: no bar there
    // What a lane holds at pos between two bars: the gap's true times and length.
    QString gapText(const QPoint &pos) const;

public slots:
    void zoomIn();
    void zoomOut();
    void fit();

signals:
    void rowClicked(int row, Qt::KeyboardModifiers modifiers);
    void windowChosen(qint64 from, qint64 to);

protected:
    void paintEvent(QPaintEvent *event) override;
    void wheelEvent(QWheelEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    bool event(QEvent *event) override;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

private:
    struct Bar {
        double start, end; // true seconds
        int row;
    };
    int laneTop(int lane) const;
    QRect plotRect() const;
    void zoomAround(double factor, int x);

    const RecordingModel *m_model = nullptr;
    QVector<uint32_t> m_lanes;
    QVector<QVector<Bar>> m_bars;   // per lane, by start
    QVector<double> m_longest;      // per lane: the longest bar, to find those reaching into the view
    QVector<int> m_laneOfRow;
    QSet<int> m_chosen;
    std::optional<qint64> m_windowFrom, m_windowTo;
    double m_from = 0, m_to = 86400, m_min = 0, m_max = 86400;
    // A drag in hand.
    enum class Drag { None, Pan, Window } m_drag = Drag::None;
    QPoint m_pressPos;
    double m_pressFrom = 0, m_pressTo = 0;
    bool m_moved = false;
    int m_dragX = 0;
};

} // namespace korvath
