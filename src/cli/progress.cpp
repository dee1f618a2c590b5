#include "progress.h"

#include <QByteArray>
#include <cstdio>
#include <unistd.h>

namespace korvath {
namespace cli {

namespace {

constexpr int kBarWidth = 30;
constexpr qint64 kRedrawMs = 100; // a cluster takes a few ms; redraw a few times a second

QByteArray durationText(double seconds)
{
    const qint64 s = static_cast<qint64>(seconds + 0.5);
    return s >= 3600 ? QByteArray::number(s / 3600) + ':' + QByteArray::number(s / 60 % 60).rightJustified(2, '0') + ':'
                           + QByteArray::number(s % 60).rightJustified(2, '0')
                     : QByteArray::number(s / 60) + ':' + QByteArray::number(s % 60).rightJustified(2, '0');
}

} // namespace

Progress::Progress(uint64_t totalBytes) : m_total(totalBytes), m_shown(::isatty(STDERR_FILENO) == 1)
{
    m_clock.start();
}

void Progress::update(uint64_t doneBytes)
{
    const bool moved = doneBytes != m_done;
    m_done = doneBytes;
    if (!m_shown || m_total == 0 || (m_drawn && !moved))
        return;
    const qint64 now = m_clock.elapsed();
    if (m_lastDraw >= 0 && now - m_lastDraw < kRedrawMs && doneBytes < m_total)
        return;
    m_lastDraw = now;
    draw(doneBytes);
}

void Progress::draw(uint64_t done)
{
    const double seconds = m_clock.elapsed() / 1000.0;
    const double rate = seconds > 0 ? done / seconds : 0;
    const int filled = static_cast<int>(kBarWidth * done / m_total);
    const QByteArray left = rate > 0 ? durationText((m_total - done) / rate) + " left" : QByteArray("--:-- left");
    std::fprintf(stderr, "\r[%s%s] %3d%%  %.1f of %.1f MiB  %.1f MiB/s  %s  ", QByteArray(filled, '#').constData(),
                 QByteArray(kBarWidth - filled, '.').constData(), static_cast<int>(100 * done / m_total),
                 done / 1048576.0, m_total / 1048576.0, rate / 1048576.0, left.constData());
    std::fflush(stderr);
    m_drawn = true;
}

void Progress::finish()
{
    if (!m_drawn)
        return;
    draw(m_done);
    std::fputc('\n', stderr);
    m_drawn = false;
}

} // namespace cli
} // namespace korvath
