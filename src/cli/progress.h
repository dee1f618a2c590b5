// The export's progress bar on stderr, drawn only while stderr is a terminal.
#pragma once

#include <QElapsedTimer>
#include <cstdint>

namespace korvath {
namespace cli {

class Progress
{
public:
    explicit Progress(uint64_t totalBytes);
    void update(uint64_t doneBytes);
    void finish(); // ends the bar's line

private:
    void draw(uint64_t doneBytes);

    uint64_t m_total;
    uint64_t m_done = 0;
    bool m_shown;
    bool m_drawn = false;
    QElapsedTimer m_clock;
    qint64 m_lastDraw = -1;
};

} // namespace cli
} // namespace korvath
